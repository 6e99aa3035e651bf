#include "main/Orlinde.h"

void Orlinde::togglePause() { }
