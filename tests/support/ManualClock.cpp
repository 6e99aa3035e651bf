#include "ManualClock.h"

double ManualClock::now() const
{
    return current;
}
