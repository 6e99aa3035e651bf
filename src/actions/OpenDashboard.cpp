#include "main/Orlinde.h"

void Orlinde::openDashboard() { }
