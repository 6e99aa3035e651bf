#pragma once

#include "platform/Clock.h"

// A clock that moves only when a test moves it.
class ManualClock final : public platform::Clock
{
public:
    explicit ManualClock(double startSeconds = 1'800'000'000.0)
        : current(startSeconds)
    { }
    double now() const override;
    void advance(double seconds) { current += seconds; }
    void set(double seconds) { current = seconds; }

private:
    double current;
};
