#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

constexpr double statusFreshnessLimitMs = 25'000;

// The text of the status line. `running`: whether the collector runs after the
// refresh's restart attempt. `launchFailed`: whether that attempt, or the last one made,
// could not start the collector. `statusFile`: the bytes of the collector's status
// file, or nothing when it could not be read. `now`: wall-clock seconds since 1970.
QString statusLine(
    bool paused, bool running, bool launchFailed, const std::optional<QByteArray> &statusFile, double now);
