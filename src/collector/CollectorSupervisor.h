#pragma once

#include "collector/LogFiles.h"
#include "config/Settings.h"
#include "platform/Clock.h"
#include "platform/OutputPipe.h"
#include "platform/ProcessInfo.h"
#include "platform/Task.h"

#include <QString>
#include <memory>
#include <vector>

// Keeps one collector running while reporting is not paused: launches it with its logs
// prepared, launches it again after it has ended, never sooner than a back-off allows,
// and says what the status line should show. It never waits for the collector. The
// collector's output comes through pipes into its logs, which are rotated as they grow;
// a collector that an earlier agent of the installation left running is ended first.
class CollectorSupervisor
{
public:
    struct Clocks
    {
        // Dates the collector's status file.
        const platform::Clock &wall;
        // Measures the back-off, which no clock correction may stretch or cut short.
        const platform::Clock &monotonic;
    };

    enum class LaunchOutcome { launched, failed, declined };

    CollectorSupervisor(Settings settings, Clocks clocks);
    ~CollectorSupervisor();
    CollectorSupervisor(const CollectorSupervisor &) = delete;
    CollectorSupervisor &operator=(const CollectorSupervisor &) = delete;

    // Launches the collector unless reporting is paused, the last one still runs, or the
    // back-off from the previous attempt still holds. Every attempt starts a new back-off.
    LaunchOutcome start();
    // The refresh's pass: launches a collector that has ended, as start does.
    void tick();
    // Asks a running collector to terminate.
    void stop();
    // Stops the collector and ends a pause; the next launch may come 6 seconds from now.
    void restart();
    // Stops the collector and keeps it from being launched until resumed or restarted.
    void pause();
    // Ends a pause and launches at once, whatever the back-off said.
    LaunchOutcome resume();
    // Stops the collector for the rest of this process: the application is ending, and
    // whatever runs after this (a modal loop returning, a last refresh) launches nothing.
    void stopForGood();

    bool isPaused() const { return paused; }
    bool isRunning();
    // The process of the last successful launch, whether or not it still runs; 0 before.
    pid_t processIdentifier() const;
    // Whether output of a collector is still on its way to the logs.
    bool isCapturingOutput() const;
    // What the status line says now: paused, not running, or the status file's verdict.
    QString statusLine();

private:
    void reportFailure(const QString &reason);
    bool leftoverStillRuns(double now);
    std::optional<platform::FileHandle> captureInto(LogWriter &log);

    const Settings settings;
    const Clocks clocks;
    const QString launchRecordPath;
    LogWriter outputLog;
    LogWriter errorLog;
    // Declared after the logs they write to, so that they go first.
    std::vector<std::unique_ptr<platform::OutputPipe>> captures;
    std::unique_ptr<platform::Task> collector;
    // Left running by an earlier agent, and when it was first asked to end.
    std::optional<platform::processInfo::ProcessIdentity> leftover;
    std::optional<double> leftoverAskedAt;
    bool paused = false;
    bool ending = false;
    // Monotonic seconds before which no launch is attempted.
    double nextStart;
    // Whether the last attempt failed, and the last reason told on standard error.
    bool lastLaunchFailed = false;
    QString reportedFailure;
};
