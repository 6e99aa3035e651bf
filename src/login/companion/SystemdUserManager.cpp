#include "SystemdUserManager.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <sys/stat.h>

namespace login {

namespace {

const QString service = QStringLiteral("org.freedesktop.systemd1");
const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");

bool fail(QString *error, const QString &description)
{
    if (error)
        *error = description;
    return false;
}

// Without an address, the D-Bus library would fall back to autolaunching a bus of its
// own, which cannot hold a manager; the user bus at $XDG_RUNTIME_DIR/bus is the one
// fallback worth taking.
bool hasSessionBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat status = {};
    return QDir::isAbsolutePath(runtime)
        && ::stat(QFile::encodeName(runtime + QStringLiteral("/bus")).constData(), &status) == 0
        && S_ISSOCK(status.st_mode);
}

} // namespace

SystemdUserManager::SystemdUserManager(std::chrono::milliseconds timeout)
    : timeout(timeout)
{ }

bool SystemdUserManager::isReachable(QString *reason)
{
    if (!probed) {
        probed = true;
        if (!hasSessionBus()) {
            unreachable = QStringLiteral("there is no session bus");
        } else if (!QDBusConnection::sessionBus().isConnected()) {
            unreachable = QStringLiteral("the session bus cannot be reached: %1")
                              .arg(QDBusConnection::sessionBus().lastError().message());
        } else {
            QString error;
            const std::optional<QDBusMessage> owned
                = call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                           QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                           QStringLiteral("NameHasOwner"))
                        << service,
                    &error);
            if (!owned)
                unreachable = error;
            else if (!owned->arguments().value(0).toBool())
                unreachable = QStringLiteral("no systemd user manager serves the session bus");
        }
    }
    if (unreachable)
        fail(reason, *unreachable);
    return !unreachable;
}

std::optional<QDBusMessage> SystemdUserManager::call(QDBusMessage message, QString *error)
{
    if (unreachable) {
        fail(error, *unreachable);
        return std::nullopt;
    }
    message.setAutoStartService(false);
    const QDBusMessage reply
        = QDBusConnection::sessionBus().call(message, QDBus::Block, static_cast<int>(timeout.count()));
    if (reply.type() == QDBusMessage::ReplyMessage)
        return reply;
    const QDBusError failure(reply);
    if (failure.type() == QDBusError::NoReply || failure.type() == QDBusError::Timeout
        || failure.type() == QDBusError::TimedOut) {
        unreachable
            = QStringLiteral("the systemd user manager did not answer within %1 ms").arg(timeout.count());
        fail(error, *unreachable);
    } else {
        fail(error, QStringLiteral("%1 (%2)").arg(failure.message(), failure.name()));
    }
    return std::nullopt;
}

std::optional<QDBusMessage> SystemdUserManager::callManager(
    const QString &method, const QVariantList &arguments, QString *error)
{
    if (!isReachable(error))
        return std::nullopt;
    QDBusMessage message = QDBusMessage::createMethodCall(service, managerPath, managerInterface, method);
    message.setArguments(arguments);
    return call(message, error);
}

bool SystemdUserManager::enableUnitFiles(const QStringList &files, QString *error)
{
    return callManager(QStringLiteral("EnableUnitFiles"), { files, false, true }, error).has_value();
}

bool SystemdUserManager::disableUnitFiles(const QStringList &names, QString *error)
{
    return callManager(QStringLiteral("DisableUnitFiles"), { names, false }, error).has_value();
}

bool SystemdUserManager::reload(QString *error)
{
    return callManager(QStringLiteral("Reload"), {}, error).has_value();
}

std::optional<QString> SystemdUserManager::unitFileState(const QString &name, QString *error)
{
    const std::optional<QDBusMessage> reply
        = callManager(QStringLiteral("GetUnitFileState"), { name }, error);
    if (!reply)
        return std::nullopt;
    return reply->arguments().value(0).toString();
}

std::optional<QString> SystemdUserManager::activeState(const QString &unit, QString *error)
{
    QString reason;
    const std::optional<QDBusMessage> path = callManager(QStringLiteral("GetUnit"), { unit }, &reason);
    if (!path) {
        // GetUnit answers NoSuchUnit for a unit that is not loaded, which is inactive.
        if (reason.contains(QLatin1String("org.freedesktop.systemd1.NoSuchUnit")))
            return QStringLiteral("inactive");
        fail(error, reason);
        return std::nullopt;
    }
    QDBusMessage get
        = QDBusMessage::createMethodCall(service, path->arguments().value(0).value<QDBusObjectPath>().path(),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.systemd1.Unit") << QStringLiteral("ActiveState");
    const std::optional<QDBusMessage> state = call(get, error);
    if (!state)
        return std::nullopt;
    return state->arguments().value(0).value<QDBusVariant>().variant().toString();
}

} // namespace login
