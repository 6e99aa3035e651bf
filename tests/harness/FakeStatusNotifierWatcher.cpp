#include "FakeStatusNotifierWatcher.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QTest>

namespace {

const QString serviceName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString objectPath = QStringLiteral("/StatusNotifierWatcher");
const QString defaultItemPath = QStringLiteral("/StatusNotifierItem");

QString itemName(const FakeStatusNotifierWatcher::Item &item)
{
    return item.service + item.path;
}

} // namespace

FakeStatusNotifierWatcher::FakeStatusNotifierWatcher(const QDBusConnection &connection)
    : connection(connection)
    , owners(new QDBusServiceWatcher(this))
{
    owners->setConnection(connection);
    owners->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(owners, &QDBusServiceWatcher::serviceUnregistered, this, &FakeStatusNotifierWatcher::ownerLeft);

    // The object before the name: whoever sees the name appear may call at once.
    // Introspection must list the properties, or Qt decides there is no tray.
    const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
        | QDBusConnection::ExportAllProperties;
    if (!this->connection.registerObject(objectPath, this, exported)) {
        error
            = QStringLiteral("cannot export %1: %2").arg(objectPath, this->connection.lastError().message());
        return;
    }
    if (!this->connection.registerService(serviceName)) {
        error = QStringLiteral("cannot own %1: %2").arg(serviceName, this->connection.lastError().message());
        this->connection.unregisterObject(objectPath);
        return;
    }
    registered = true;
}

FakeStatusNotifierWatcher::~FakeStatusNotifierWatcher()
{
    if (registered) {
        connection.unregisterService(serviceName);
        connection.unregisterObject(objectPath);
    }
}

std::optional<FakeStatusNotifierWatcher::Item> FakeStatusNotifierWatcher::waitForItemOf(
    qint64 pid, int timeoutMs)
{
    std::optional<Item> found;
    const bool registeredInTime = QTest::qWaitFor(
        [&] {
            for (const Item &item : std::as_const(registeredItems)) {
                if (connection.interface()->servicePid(item.service).value() == pid) {
                    found = item;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return registeredInTime ? found : std::nullopt;
}

QStringList FakeStatusNotifierWatcher::registeredStatusNotifierItems() const
{
    QStringList names;
    for (const Item &item : registeredItems)
        names.append(itemName(item));
    return names;
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierItem(const QString &serviceOrPath)
{
    // Some items pass their object path and are known by the caller's name, others
    // pass a bus name and sit at the usual path.
    Item item;
    if (serviceOrPath.startsWith(QLatin1Char('/'))) {
        item = { message().service(), serviceOrPath };
    } else {
        const QString owner = connection.interface()->serviceOwner(serviceOrPath).value();
        item = { owner.isEmpty() ? serviceOrPath : owner, defaultItemPath };
    }
    for (const Item &known : std::as_const(registeredItems)) {
        if (known.service == item.service && known.path == item.path)
            return;
    }
    registeredItems.append(item);
    log.append(itemName(item));
    owners->addWatchedService(item.service);
    emit StatusNotifierItemRegistered(itemName(item));
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierHost(const QString &)
{
    emit StatusNotifierHostRegistered();
}

void FakeStatusNotifierWatcher::ownerLeft(const QString &service)
{
    owners->removeWatchedService(service);
    for (qsizetype i = registeredItems.size() - 1; i >= 0; --i) {
        if (registeredItems.at(i).service == service) {
            const Item gone = registeredItems.takeAt(i);
            emit StatusNotifierItemUnregistered(itemName(gone));
        }
    }
}
