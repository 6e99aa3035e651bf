#include "collector/StatusLine.h"

#include <QJsonDocument>
#include <QJsonObject>

QString statusLine(
    bool paused, bool running, bool launchFailed, const std::optional<QByteArray> &statusFile, double now)
{
    if (paused)
        return QStringLiteral("Reporting paused");
    if (!running)
        return launchFailed ? QStringLiteral("Collector failed to start")
                            : QStringLiteral("Collector restarting…");
    const QString starting = QStringLiteral("Starting collector…");
    if (!statusFile)
        return starting;
    // Top-level scalars are refused, so anything but an object is unreadable.
    const QJsonDocument document = QJsonDocument::fromJson(*statusFile);
    if (!document.isObject())
        return starting;
    const QJsonObject status = document.object();
    const QJsonValue at = status.value(QLatin1String("at"));
    if (!at.isDouble())
        return starting;
    const double ageMs = now * 1000 - at.toDouble();
    // Written so that an age that cannot be compared (NaN) counts as stale.
    if (!(ageMs < statusFreshnessLimitMs))
        return starting;
    if (status.value(QLatin1String("connected")) == QJsonValue(true))
        return QStringLiteral("Connected to dashboard");
    return QStringLiteral("Reconnecting…");
}
