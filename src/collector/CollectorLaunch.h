#pragma once

#include "config/Settings.h"

#include <QByteArrayList>
#include <QString>

// Everything the collector is started with, apart from its output streams.
struct CollectorLaunch
{
    QString executable;
    QString argument;
    QString workingDirectory;
    QByteArrayList environment;
};

// The Node.js executable of the settings run on <root>/collector.mjs inside the root,
// with our own environment in which ORLINDE_BACKGROUND is "1" and ORLINDE_PARENT_PID is
// `parentPid`, whatever those held before.
CollectorLaunch collectorLaunch(
    const Settings &settings, const QByteArrayList &inheritedEnvironment, qint64 parentPid);
