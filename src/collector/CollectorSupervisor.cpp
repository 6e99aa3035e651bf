#include "collector/CollectorSupervisor.h"

#include "collector/CollectorLaunch.h"
#include "collector/StatusLine.h"
#include "platform/FileManager.h"
#include "platform/ProcessInfo.h"

#include <algorithm>
#include <cstdio>
#include <limits>

using platform::processInfo::ProcessIdentity;

namespace {
constexpr double launchBackOffSeconds = 10.0;
constexpr double restartBackOffSeconds = 6.0;
constexpr double distantPast = -std::numeric_limits<double>::infinity();

// "<pid> <start time>\n": which collector the installation's agent launched last.
QByteArray launchRecord(const ProcessIdentity &collector)
{
    return QByteArray::number(collector.pid) + ' ' + QByteArray::number(collector.started) + '\n';
}

std::optional<ProcessIdentity> recordedLaunch(const QString &path)
{
    const std::optional<QByteArray> record = platform::files::readRegularFile(path);
    const QList<QByteArray> fields = record ? record->trimmed().split(' ') : QList<QByteArray>();
    bool pid = false;
    bool started = false;
    const ProcessIdentity identity { fields.value(0).toLongLong(&pid),
        fields.value(1).toULongLong(&started) };
    if (fields.size() != 2 || !pid || !started)
        return std::nullopt;
    return identity;
}
} // namespace

CollectorSupervisor::CollectorSupervisor(Settings settings, Clocks clocks)
    : settings(std::move(settings))
    , clocks(clocks)
    , launchRecordPath(this->settings.logURL(QStringLiteral("collector.pid")).toLocalFile())
    , outputLog(this->settings.logURL(QStringLiteral("app.log")).toLocalFile())
    , errorLog(this->settings.logURL(QStringLiteral("app-error.log")).toLocalFile())
    , leftover(recordedLaunch(launchRecordPath))
    , nextStart(distantPast)
{ }

CollectorSupervisor::~CollectorSupervisor() = default;

CollectorSupervisor::LaunchOutcome CollectorSupervisor::start()
{
    if (paused || ending || isRunning())
        return LaunchOutcome::declined;
    const double now = clocks.monotonic.now();
    if (now < nextStart || leftoverStillRuns(now))
        return LaunchOutcome::declined;
    // Set before trying, so a failed launch and a collector that dies at once are held
    // back alike.
    nextStart = now + launchBackOffSeconds;

    const CollectorLaunch launch = collectorLaunch(
        settings, platform::processInfo::environment(), platform::processInfo::processIdentifier());
    prepareLog(outputLog.logPath());
    prepareLog(errorLog.logPath());
    std::erase_if(captures, [](const auto &capture) { return capture->hasEnded(); });

    auto task = std::make_unique<platform::Task>();
    task->setExecutablePath(launch.executable);
    task->setArguments({ launch.argument });
    task->setCurrentDirectoryPath(launch.workingDirectory);
    task->setEnvironment(launch.environment);
    task->setStandardOutput(captureInto(outputLog));
    task->setStandardError(captureInto(errorLog));
    lastLaunchFailed = !task->launch();
    if (lastLaunchFailed) {
        reportFailure(QStringLiteral("Could not start the collector “%1” in “%2”: %3.")
                          .arg(launch.executable, launch.workingDirectory, task->launchError()));
        return LaunchOutcome::failed;
    }
    reportedFailure.clear();
    collector = std::move(task);
    if (const std::optional<ProcessIdentity> launched
        = platform::processInfo::identityOf(collector->processIdentifier()))
        platform::files::writeAtomically(launchRecordPath, launchRecord(*launched));
    return LaunchOutcome::launched;
}

// A log that cannot be opened leaves the stream inherited, as the launch always did;
// without a pipe to give, the collector writes its log itself, rotated at its next launch.
std::optional<platform::FileHandle> CollectorSupervisor::captureInto(LogWriter &log)
{
    std::optional<platform::FileHandle> file = openLogForAppending(log.logPath());
    if (!file)
        return std::nullopt;
    std::unique_ptr<platform::OutputPipe> pipe
        = platform::OutputPipe::open([&log](QByteArrayView data) { log.append(data); });
    if (!pipe)
        return file;
    std::optional<platform::FileHandle> writeEnd = pipe->takeWriteEnd();
    captures.push_back(std::move(pipe));
    return writeEnd;
}

// An agent killed outright (a crash, the OOM killer) leaves its collector running; the
// next agent of the installation ends it before launching its own, so that one
// installation never reports twice. Asked first, made to after a back-off's time.
bool CollectorSupervisor::leftoverStillRuns(double now)
{
    if (!leftover)
        return false;
    if (platform::processInfo::identityOf(leftover->pid) != leftover) {
        leftover.reset();
        return false;
    }
    if (!leftoverAskedAt)
        leftoverAskedAt = now;
    platform::processInfo::signalProcess(*leftover, now - *leftoverAskedAt >= launchBackOffSeconds);
    return true;
}

void CollectorSupervisor::tick()
{
    if (!isRunning())
        start();
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

bool CollectorSupervisor::isCapturingOutput() const
{
    return std::any_of(
        captures.cbegin(), captures.cend(), [](const auto &capture) { return !capture->hasEnded(); });
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
