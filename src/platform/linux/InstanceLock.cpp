#include "platform/InstanceLock.h"

#include "platform/linux/InstanceBusName.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

namespace platform {

namespace {

constexpr unsigned long ownerPollMs = 50;

} // namespace

InstanceLock::InstanceLock(QString name)
    : name(std::move(name))
{ }

InstanceLock::~InstanceLock()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!name.isEmpty() && bus.isConnected())
        bus.interface()->unregisterService(name);
}

std::unique_ptr<InstanceLock> InstanceLock::claim(
    const QString &identifier, std::chrono::milliseconds patience)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::unique_ptr<InstanceLock>(new InstanceLock(QString()));
    const QString name = instanceBusName(identifier);
    QDBusConnectionInterface *daemon = bus.interface();
    // Queued behind the holder, the bus hands us the name the moment it leaves.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = daemon->registerService(
        name, QDBusConnectionInterface::QueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return std::unique_ptr<InstanceLock>(new InstanceLock(QString()));
    const QDeadlineTimer deadline(patience);
    for (;;) {
        if (daemon->serviceOwner(name).value() == bus.baseService())
            return std::unique_ptr<InstanceLock>(new InstanceLock(name));
        if (deadline.hasExpired())
            break;
        QThread::msleep(ownerPollMs);
    }
    daemon->unregisterService(name);
    return nullptr;
}

} // namespace platform
