#include "platform/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

namespace platform {

void showDesktopNotification(const QString &summary, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage notify = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    const QString desktopEntry = QGuiApplication::desktopFileName();
    const QVariantMap hints { { QStringLiteral("desktop-entry"), desktopEntry } };
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's)
    notify << QGuiApplication::applicationName() << 0u << desktopEntry << summary << body << QStringList()
           << hints << -1;
    bus.send(notify);
}

} // namespace platform
