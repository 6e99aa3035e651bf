#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class QDBusServiceWatcher;

// Plays the desktop's tray host: owns org.kde.StatusNotifierWatcher on the bus for as
// long as it lives, with a host always registered, and records the items that
// register with it. Items whose owner leaves the bus are dropped, as a real watcher does.
class FakeStatusNotifierWatcher final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    struct Item
    {
        QString service; // the owner's unique bus name
        QString path;
    };

    explicit FakeStatusNotifierWatcher(const QDBusConnection &connection = QDBusConnection::sessionBus());
    ~FakeStatusNotifierWatcher() override;

    // False (with the reason in errorString) when the name or object could not be taken.
    bool isRegistered() const { return registered; }
    QString errorString() const { return error; }

    // Every registration made, as service + path, including items dropped since.
    QStringList registrationLog() const { return log; }
    // The first item registered by the process `pid`, waiting up to `timeoutMs` for it.
    std::optional<Item> waitForItemOf(qint64 pid, int timeoutMs);

    QStringList registeredStatusNotifierItems() const;
    bool isStatusNotifierHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString &serviceOrPath);
    void RegisterStatusNotifierHost(const QString &service);

signals:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierItemUnregistered(const QString &item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerLeft(const QString &service);

    QDBusConnection connection;
    QDBusServiceWatcher *owners;
    QList<Item> registeredItems;
    QStringList log;
    bool registered = false;
    QString error;
};
