#pragma once

#include "SystemdUserManager.h"

#include <QString>
#include <QStringList>
#include <chrono>

namespace login {

// Where the user's own systemd units and autostart entries live: under $XDG_CONFIG_HOME
// when that is an absolute path, otherwise under ~/.config, as systemd and desktops read it.
struct ConfigFolders
{
    QString units; // .../systemd/user
    QString autostart; // .../autostart

    static ConfigFolders fromEnvironment();
};

struct LoginStartOutcome
{
    enum class Status {
        done,
        // The files are in place, but no systemd user manager could be reached to enable
        // (or disable) the unit.
        notEnabled,
        failed,
    };
    Status status = Status::failed;
    // Why the outcome is not `done`, as one sentence for the user.
    QString description;
    // What was done, one line each ("Wrote ...", "Enabled ...", "Removed ..."), in order.
    QStringList steps;
};

struct LoginStartCheck
{
    bool current = false;
    // Why not, for a log line.
    QString reason;
};

// Makes the agent in a property list start at login: a systemd user unit for desktops
// whose session systemd manages, and an XDG autostart entry for the others. Both run
// `companionPath run PROPERTY-LIST` and start nothing while the property list is absent,
// so that creating and removing that file stays the one switch. Paths of property lists
// may be relative; they are made absolute first.
class LoginStartInstaller
{
public:
    explicit LoginStartInstaller(QString companionPath,
        ConfigFolders folders = ConfigFolders::fromEnvironment(),
        std::chrono::milliseconds managerTimeout = SystemdUserManager::defaultTimeout);

    // Writes the unit and the autostart entry (atomically, each), enables the unit and
    // reloads the manager. Units and entries that name the same property list under
    // another label are removed.
    LoginStartOutcome install(const QString &propertyListPath);
    // Disables and removes every unit and autostart entry written for the property list,
    // which need not exist any more, and reloads the manager. Nothing to remove is no error.
    LoginStartOutcome uninstall(const QString &propertyListPath);
    // Whether install() would change nothing: the unit and the entry hold what it writes
    // (so they run this companion with this property list) and the unit is enabled. A
    // manager that cannot be reached is not asked.
    LoginStartCheck check(const QString &propertyListPath);
    // Whether the user manager runs the current graphical session (its
    // graphical-session.target is active or starting) with a current unit for the
    // property list: then the unit starts the agent, and an autostart entry must not.
    bool unitStartsAgentInThisSession(const QString &propertyListPath);

private:
    struct Files;
    std::optional<Files> filesFor(const QString &propertyListPath, QString *error) const;

    const QString companionPath;
    const ConfigFolders folders;
    SystemdUserManager manager;
};

} // namespace login
