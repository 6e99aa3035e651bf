#include "main/Orlinde.h"

#include "collector/CollectorLaunch.h"
#include "collector/LogFiles.h"
#include "platform/ProcessInfo.h"

#include <QAction>

namespace {
constexpr double launchBackOffSeconds = 10.0;
constexpr double restartBackOffSeconds = 6.0;
} // namespace

QUrl Orlinde::logURL(const QString &name) const
{
    QString path = settings->root;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QUrl::fromLocalFile(path + QStringLiteral(".data/") + name);
}

void Orlinde::start()
{
    if (paused || collectorIsRunning())
        return;
    const double now = clock.now();
    if (now < nextStart)
        return;
    // Set before trying, so a failed launch and a collector that dies at once are held
    // back alike.
    nextStart = now + launchBackOffSeconds;

    const CollectorLaunch launch = collectorLaunch(
        *settings, platform::processInfo::environment(), platform::processInfo::processIdentifier());
    const QString outputLog = logURL(QStringLiteral("app.log")).toLocalFile();
    const QString errorLog = logURL(QStringLiteral("app-error.log")).toLocalFile();
    prepareLog(outputLog);
    prepareLog(errorLog);

    auto task = std::make_unique<platform::Task>();
    task->setExecutablePath(launch.executable);
    task->setArguments({ launch.argument });
    task->setCurrentDirectoryPath(launch.workingDirectory);
    task->setEnvironment(launch.environment);
    task->setStandardOutput(openLogAtEnd(outputLog));
    task->setStandardError(openLogAtEnd(errorLog));
    if (!task->launch()) {
        statusItem->setText(QStringLiteral("Collector failed to start"));
        return;
    }
    collector = std::move(task);
}

void Orlinde::stop()
{
    if (collectorIsRunning())
        collector->terminate();
}

void Orlinde::restartCollector()
{
    stop();
    paused = false;
    pauseItem->setText(QStringLiteral("Pause reporting"));
    nextStart = clock.now() + restartBackOffSeconds;
}
