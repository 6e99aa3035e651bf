#pragma once

#include <QStringList>

enum class RunMode { quitExisting, storeDashboardKey, menuBarAgent };

// Switches match whole arguments exactly, anywhere in argv (argv[0] included);
// "--quit-existing" wins over "--store-dashboard-key".
RunMode runModeFor(const QStringList &arguments);

// The bundle identifier, or the default one for an executable outside a bundle.
QString applicationIdentifier();
// The name of the notification that asks a running instance to quit.
QString quitNotificationName();
