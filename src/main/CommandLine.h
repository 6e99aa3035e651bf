#pragma once

#include <QStringList>
#include <optional>

enum class RunMode { quitExisting, storeDashboardKey, status, menuBarAgent };

// Switches match whole arguments exactly, anywhere in argv (argv[0] included);
// "--quit-existing" wins over "--store-dashboard-key", which wins over "--status".
RunMode runModeFor(const QStringList &arguments);

// The exit status of `--status` for the running instance's status line (nothing when no
// instance answered), as service status tools report: 0 connected, 1 anything else, 3
// not running.
int statusExitCode(const std::optional<QString> &statusLine);

// The bundle identifier, or the default one for an executable outside a bundle.
QString applicationIdentifier();
// The name of the notification that asks the running instance of `identifier` to quit.
QString quitNotificationName(const QString &identifier = applicationIdentifier());
