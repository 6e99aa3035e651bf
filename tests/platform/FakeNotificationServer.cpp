#include "FakeNotificationServer.h"

namespace {
const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

FakeNotificationServer::FakeNotificationServer(const QDBusConnection &connection)
    : connection(connection)
{
    registered = this->connection.registerObject(objectPath, this, QDBusConnection::ExportAllSlots)
        && this->connection.registerService(serviceName);
}

FakeNotificationServer::~FakeNotificationServer()
{
    connection.unregisterService(serviceName);
    connection.unregisterObject(objectPath);
}

uint FakeNotificationServer::Notify(const QString &appName, uint, const QString &, const QString &,
    const QString &body, const QStringList &, const QVariantMap &, int)
{
    received.append({ appName, body });
    return uint(received.size());
}

QStringList FakeNotificationServer::GetCapabilities() const
{
    return { QStringLiteral("body") };
}
