#pragma once

#include "ManualClock.h"
#include "config/Settings.h"
#include "main/Orlinde.h"

#include <QByteArrayList>
#include <QTemporaryDir>
#include <sys/types.h>

// A throwaway installation: a root holding a stand-in from stand-ins/ as collector.mjs,
// with or without its data directory, and settings pointing there.
class Installation
{
public:
    explicit Installation(const QString &standIn, const QString &node = QStringLiteral("/bin/sh"),
        bool withDataDirectory = true);

    QString top() const { return directory.path(); }
    QString path(const QString &name) const { return root + QLatin1Char('/') + name; }
    QString data(const QString &name) const { return root + QStringLiteral("/.data/") + name; }
    // Waits for the stand-in's line in "launches": a linger.sh collector is then listening.
    bool waitForLaunches(int count) const;

private:
    QTemporaryDir directory;

public:
    const QString root;
    Settings settings;
};

// The agent launched on an installation, on a clock that moves only when told. Its own
// timer is stopped: ticks come from tick(). Whatever collector it leaves running is
// ended and reaped when it goes.
class Agent
{
public:
    explicit Agent(const Settings &settings);
    ~Agent();

    void tick(double seconds = 3.0);
    pid_t collectorPid() const { return orlinde.collector ? orlinde.collector->processIdentifier() : 0; }
    QString statusLine() const;

    ManualClock clock;
    Orlinde orlinde { clock };
};

// Polls the handle as the agent does; false if it still runs after `timeoutMs`.
bool waitUntilExited(platform::Task &task, int timeoutMs = 10'000);
QByteArray contentsOf(const QString &path);
QByteArrayList linesOf(const QString &path);
// Waits for `path` to hold at least `count` lines.
bool waitForLines(const QString &path, int count, int timeoutMs = 10'000);
