#pragma once

#include "ManualClock.h"
#include "TestFiles.h"
#include "collector/CollectorSupervisor.h"
#include "config/Settings.h"

#include <QByteArrayList>
#include <QTemporaryDir>
#include <sys/types.h>

QByteArrayList linesOf(const QString &path);
// Waits for `path` to hold at least `count` lines.
bool waitForLines(const QString &path, int count, int timeoutMs = 10'000);

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
    // The stand-in's line in "launches": a linger.sh collector is then listening.
    bool waitForLaunches(int count) const { return waitForLines(path(QStringLiteral("launches")), count); }

private:
    QTemporaryDir directory;

public:
    const QString root;
    Settings settings;
};

// A supervisor on an installation, launched as the app launches it, on clocks that move
// only when told. Whatever collector it leaves running is ended and reaped when it goes.
class Supervision
{
public:
    explicit Supervision(const Settings &settings);
    ~Supervision();

    // Moves both clocks on, then makes the refresh's pass over the collector.
    void tick(double seconds = 3.0);
    pid_t pid() const { return supervisor.processIdentifier(); }
    // Polls as the app does, serving events meanwhile so that its output reaches the
    // logs; false if the collector still runs, or its output flows, after `timeoutMs`.
    bool waitUntilExited(int timeoutMs = 10'000);

    ManualClock wall;
    ManualClock monotonic { 1000.0 };
    CollectorSupervisor supervisor;
};
