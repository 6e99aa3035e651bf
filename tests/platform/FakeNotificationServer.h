#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Plays the desktop's notification area: owns org.freedesktop.Notifications on the
// bus for as long as it lives and records every notification instead of showing it.
class FakeNotificationServer final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Notification
    {
        QString appName;
        QString body;
    };

    explicit FakeNotificationServer(const QDBusConnection &connection = QDBusConnection::sessionBus());
    ~FakeNotificationServer() override;

    bool isRegistered() const { return registered; }
    QList<Notification> notifications() const { return received; }

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
        const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout);
    QStringList GetCapabilities() const;

private:
    QDBusConnection connection;
    QList<Notification> received;
    bool registered = false;
};
