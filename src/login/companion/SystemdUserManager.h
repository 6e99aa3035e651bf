#pragma once

#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace login {

// The user's systemd manager, org.freedesktop.systemd1 on the session bus. Every call
// gives up after the timeout, and once one has, the manager counts as unreachable, so
// that a manager that has stopped answering delays its caller once, not on every call.
class SystemdUserManager
{
public:
    static constexpr std::chrono::milliseconds defaultTimeout { 3000 };

    explicit SystemdUserManager(std::chrono::milliseconds timeout = defaultTimeout);

    // Whether a manager serves the session bus; when not, why not.
    bool isReachable(QString *reason = nullptr);

    // Manager.EnableUnitFiles(files, runtime=false, force=true): links the units into
    // the targets their [Install] sections name, persistently.
    bool enableUnitFiles(const QStringList &files, QString *error = nullptr);
    // Manager.DisableUnitFiles(names, runtime=false).
    bool disableUnitFiles(const QStringList &names, QString *error = nullptr);
    // Manager.Reload(): reads the unit files again; answers once that is done.
    bool reload(QString *error = nullptr);
    // Manager.GetUnitFileState(name): "enabled", "disabled", "linked", ...
    std::optional<QString> unitFileState(const QString &name, QString *error = nullptr);
    // The unit's ActiveState ("active", "activating", ...); "inactive" for a unit that
    // is not loaded.
    std::optional<QString> activeState(const QString &unit, QString *error = nullptr);

private:
    std::optional<QDBusMessage> call(QDBusMessage message, QString *error);
    std::optional<QDBusMessage> callManager(
        const QString &method, const QVariantList &arguments, QString *error);

    const std::chrono::milliseconds timeout;
    bool probed = false;
    // Why the manager cannot be used, once that is known.
    std::optional<QString> unreachable;
};

} // namespace login
