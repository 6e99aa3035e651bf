#include "collector/StatusLine.h"

#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The first eight bytes are the clock (seconds since 1970, any double, NaN included),
// the rest the status file. Every input must give one of the five texts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList texts = {
        QStringLiteral("Reporting paused"),
        QStringLiteral("Collector restarting…"),
        QStringLiteral("Starting collector…"),
        QStringLiteral("Connected to dashboard"),
        QStringLiteral("Reconnecting…"),
    };
    if (size < sizeof(double))
        return 0;
    double now = 0;
    std::memcpy(&now, data, sizeof now);
    const QByteArray file(
        reinterpret_cast<const char *>(data + sizeof now), static_cast<qsizetype>(size - sizeof now));
    if (!texts.contains(statusLine(false, true, false, file, now)))
        __builtin_trap();
    return 0;
}
