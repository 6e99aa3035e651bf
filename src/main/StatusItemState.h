#pragma once

#include "platform/StatusItem.h"

#include <QString>

// What the tray item's badge shows for the collector's status line: connected, paused,
// failed to start, and not connected for all the rest (starting, reconnecting,
// restarting).
inline platform::StatusItem::State statusItemState(const QString &statusLine)
{
    using State = platform::StatusItem::State;
    if (statusLine == QLatin1String("Connected to dashboard"))
        return State::online;
    if (statusLine == QLatin1String("Reporting paused"))
        return State::paused;
    if (statusLine == QLatin1String("Collector failed to start"))
        return State::failed;
    return State::offline;
}
