#pragma once

namespace platform {

// Wall-clock time as seconds since 1970, the one time source of the application,
// so that tests can step through back-off and freshness limits without sleeping.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

class SystemClock final : public Clock
{
public:
    double now() const override;
};

Clock &systemClock();

} // namespace platform
