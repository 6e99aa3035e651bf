#include "main/Orlinde.h"

void Orlinde::toggleLogin()
{
    refresh();
}
