#include "platform/InstanceLock.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QStringList>
#include <QThread>

namespace platform {

namespace {

constexpr unsigned long ownerPollMs = 50;
constexpr qsizetype maximumBusNameLength = 255;

bool isNameCharacter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_') || c == QLatin1Char('-');
}

// A bundle identifier is reverse-DNS like a bus name but may hold characters a bus name
// cannot; those become "_", and an element may not start with a digit.
QString busNameFor(const QString &identifier)
{
    QStringList elements;
    for (const QString &element : identifier.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        QString name;
        for (const QChar c : element)
            name += isNameCharacter(c) ? c : QLatin1Char('_');
        if (name.front().isDigit())
            name.prepend(QLatin1Char('_'));
        elements << name;
    }
    // The suffix also gives a one-word identifier the two elements a bus name needs.
    elements << QStringLiteral("instance");
    return elements.join(QLatin1Char('.')).left(maximumBusNameLength);
}

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
    const QString name = busNameFor(identifier);
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
