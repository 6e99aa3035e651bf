#include "platform/Clock.h"

#include <chrono>

namespace platform {

namespace {

template <typename SystemSource> class ChronoClock final : public Clock
{
public:
    double now() const override
    {
        return std::chrono::duration<double>(SystemSource::now().time_since_epoch()).count();
    }
};

} // namespace

const Clock &wallClock()
{
    static const ChronoClock<std::chrono::system_clock> clock;
    return clock;
}

const Clock &monotonicClock()
{
    static const ChronoClock<std::chrono::steady_clock> clock;
    return clock;
}

} // namespace platform
