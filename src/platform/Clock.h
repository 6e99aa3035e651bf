#pragma once

namespace platform {

// A source of time in seconds, injected wherever time is read so that tests can step
// through back-off and freshness limits without sleeping.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

// Seconds since 1970, as the collector writes them into its status file. A clock
// correction moves it, so it only dates things; it never measures a delay.
const Clock &wallClock();
// Seconds since an arbitrary start, never stepped by a clock correction: for delays.
const Clock &monotonicClock();

} // namespace platform
