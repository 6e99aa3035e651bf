#include "main/Orlinde.h"

#include "main/StatusLine.h"
#include "platform/FileManager.h"

#include <QAction>

void Orlinde::refresh()
{
    if (!paused && !collectorIsRunning())
        start();
    loginItem->setChecked(platform::files::fileExists(settings->launchAgent));
    // Asked again: the restart attempt may have launched a new collector. While paused
    // the collector is not consulted, and the status file is read only when it can show.
    const bool running = !paused && collectorIsRunning();
    const std::optional<QByteArray> statusFile = running
        ? platform::files::readRegularFile(logURL(QStringLiteral("desktop-status.json")).toLocalFile())
        : std::nullopt;
    statusItem->setText(statusLine(paused, running, statusFile, clock.now()));
}
