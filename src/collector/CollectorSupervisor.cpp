#include "collector/CollectorSupervisor.h"

#include "collector/CollectorLaunch.h"
#include "collector/LogFiles.h"
#include "collector/StatusLine.h"
#include "platform/FileManager.h"
#include "platform/ProcessInfo.h"

#include <cstdio>
#include <limits>

namespace {
constexpr double launchBackOffSeconds = 10.0;
constexpr double restartBackOffSeconds = 6.0;
constexpr double distantPast = -std::numeric_limits<double>::infinity();
} // namespace

CollectorSupervisor::CollectorSupervisor(Settings settings, Clocks clocks)
    : settings(std::move(settings))
    , clocks(clocks)
    , nextStart(distantPast)
{ }

CollectorSupervisor::~CollectorSupervisor() = default;

CollectorSupervisor::LaunchOutcome CollectorSupervisor::start()
{
    if (paused || ending || isRunning())
        return LaunchOutcome::declined;
    const double now = clocks.monotonic.now();
    if (now < nextStart)
        return LaunchOutcome::declined;
    // Set before trying, so a failed launch and a collector that dies at once are held
    // back alike.
    nextStart = now + launchBackOffSeconds;

    const CollectorLaunch launch = collectorLaunch(
        settings, platform::processInfo::environment(), platform::processInfo::processIdentifier());
    const QString outputLog = settings.logURL(QStringLiteral("app.log")).toLocalFile();
    const QString errorLog = settings.logURL(QStringLiteral("app-error.log")).toLocalFile();
    prepareLog(outputLog);
    prepareLog(errorLog);

    auto task = std::make_unique<platform::Task>();
    task->setExecutablePath(launch.executable);
    task->setArguments({ launch.argument });
    task->setCurrentDirectoryPath(launch.workingDirectory);
    task->setEnvironment(launch.environment);
    task->setStandardOutput(openLogForAppending(outputLog));
    task->setStandardError(openLogForAppending(errorLog));
    lastLaunchFailed = !task->launch();
    if (lastLaunchFailed) {
        reportFailure(QStringLiteral("Could not start the collector “%1” in “%2”: %3.")
                          .arg(launch.executable, launch.workingDirectory, task->launchError()));
        return LaunchOutcome::failed;
    }
    reportedFailure.clear();
    collector = std::move(task);
    return LaunchOutcome::launched;
}

void CollectorSupervisor::tick()
{
    if (!isRunning()) {
        start();
        return;
    }
    // Renaming a log under its writer would leave the writer in the renamed file, and
    // copying then truncating loses what is written in between; the launch rotates it
    // whole, so the collector makes way and comes back at the next pass.
    if (logsHaveOutgrownTheirLimit()) {
        stop();
        nextStart = clocks.monotonic.now();
    }
}

bool CollectorSupervisor::logsHaveOutgrownTheirLimit() const
{
    return hasOutgrownItsLimit(
               platform::files::itemSize(settings.logURL(QStringLiteral("app.log")).toLocalFile()))
        || hasOutgrownItsLimit(
            platform::files::itemSize(settings.logURL(QStringLiteral("app-error.log")).toLocalFile()));
}

void CollectorSupervisor::stop()
{
    if (isRunning())
        collector->terminate();
}

void CollectorSupervisor::stopForGood()
{
    ending = true;
    stop();
}

void CollectorSupervisor::restart()
{
    stop();
    paused = false;
    nextStart = clocks.monotonic.now() + restartBackOffSeconds;
}

void CollectorSupervisor::pause()
{
    paused = true;
    stop();
}

CollectorSupervisor::LaunchOutcome CollectorSupervisor::resume()
{
    paused = false;
    // Resuming is the user asking for the collector now, whatever the back-off says.
    nextStart = distantPast;
    return start();
}

bool CollectorSupervisor::isRunning()
{
    return collector && collector->isRunning();
}

pid_t CollectorSupervisor::processIdentifier() const
{
    return collector ? collector->processIdentifier() : 0;
}

QString CollectorSupervisor::statusLine()
{
    // While paused the collector is not consulted, and the status file is read only
    // when it can show.
    const bool running = !paused && isRunning();
    const std::optional<QByteArray> statusFile = running
        ? platform::files::readRegularFile(
            settings.logURL(QStringLiteral("desktop-status.json")).toLocalFile())
        : std::nullopt;
    return ::statusLine(paused, running, lastLaunchFailed, statusFile, clocks.wall.now());
}

// The status line says that the launch failed; the reason goes to our standard error
// (the login agent's error log), once, not every ten seconds.
void CollectorSupervisor::reportFailure(const QString &reason)
{
    if (reason == reportedFailure)
        return;
    reportedFailure = reason;
    std::fprintf(stderr, "Orlinde: %s\n", reason.toUtf8().constData());
    std::fflush(stderr);
}
