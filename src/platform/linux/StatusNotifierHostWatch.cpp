#include "platform/linux/StatusNotifierHostWatch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace platform {

namespace {
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString hostProperty = QStringLiteral("IsStatusNotifierHostRegistered");
constexpr int watcherReplyTimeoutMs = 5000;
} // namespace

StatusNotifierHostWatch::StatusNotifierHostWatch(QObject *parent)
    : QObject(parent)
    , names(new QDBusServiceWatcher(this))
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    names->setConnection(bus);
    names->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    names->addWatchedService(watcherService);
    connect(names, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString &, const QString &, const QString &newOwner) {
            if (newOwner.isEmpty()) {
                ++questions; // an answer still on its way is from the watcher that left
                update({}, false);
            } else {
                ask();
            }
        });
    // QtDBus delivers these from whichever process owns the name when they are sent,
    // a replacement watcher too. The targets must be slots: a plain method is not
    // found and the connection silently fails.
    for (const char *announcement : { "StatusNotifierHostRegistered", "StatusNotifierHostUnregistered" })
        bus.connect(
            watcherService, watcherPath, watcherService, QLatin1String(announcement), this, SLOT(ask()));
    bus.connect(watcherService, watcherPath, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
        SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    ask();
}

void StatusNotifierHostWatch::propertiesChanged(
    const QString &interface, const QVariantMap &changedProperties, const QStringList &invalidated)
{
    if (interface == watcherService
        && (changedProperties.contains(hostProperty) || invalidated.contains(hostProperty)))
        ask();
}

void StatusNotifierHostWatch::ask()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService, watcherPath, propertiesInterface, QStringLiteral("Get"));
    get << watcherService << hostProperty;
    // A panel starts the watcher; asking must not.
    get.setAutoStartService(false);
    const quint64 question = ++questions;
    auto *pending = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(get, watcherReplyTimeoutMs), this);
    connect(
        pending, &QDBusPendingCallWatcher::finished, this, [this, question](QDBusPendingCallWatcher *answer) {
            answer->deleteLater();
            if (question != questions)
                return; // a later question's answer counts
            const QDBusPendingReply<QDBusVariant> reply = *answer;
            if (reply.isError())
                update({}, false);
            else
                update(reply.reply().service(), reply.value().variant().toBool());
        });
}

void StatusNotifierHostWatch::update(const QString &newOwner, bool newHost)
{
    if (newOwner == owner && newHost == host)
        return;
    owner = newOwner;
    host = newHost;
    emit changed();
}

} // namespace platform
