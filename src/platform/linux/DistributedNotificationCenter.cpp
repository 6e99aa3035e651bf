#include "platform/DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace platform {

void DistributedNotificationCenter::post(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QLatin1String(objectPath), QLatin1String(interfaceName), QLatin1String(memberName));
    signal << name;
    bus.send(signal);
    // Sending is queued; flushing happens when the connection is closed, which a
    // one-shot process does on exit. Asking the bus a question makes sure the signal
    // is out before we return.
    bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
}

void DistributedNotificationCenter::addObserver(const QString &name, std::function<void()> handler)
{
    observedName = name;
    observer = std::move(handler);
    // The argument match rule means the bus delivers only this exact name to us.
    QDBusConnection::sessionBus().connect(QString(), QLatin1String(objectPath), QLatin1String(interfaceName),
        QLatin1String(memberName), { name }, QString(), this, SLOT(posted(QString)));
}

void DistributedNotificationCenter::posted(const QString &name)
{
    if (name == observedName && observer)
        observer();
}

} // namespace platform
