#include "platform/linux/DesktopColorScheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace platform {

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");
} // namespace

ColorScheme colorSchemeFromSetting(const QVariant &value)
{
    QVariant inner = value;
    while (inner.typeId() == qMetaTypeId<QDBusVariant>())
        inner = inner.value<QDBusVariant>().variant();
    if (inner.typeId() != QMetaType::UInt)
        return ColorScheme::noPreference;
    switch (inner.toUInt()) {
    case 1:
        return ColorScheme::preferDark;
    case 2:
        return ColorScheme::preferLight;
    default:
        return ColorScheme::noPreference;
    }
}

DesktopColorScheme::DesktopColorScheme(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
        SLOT(settingChanged(QString, QString, QDBusVariant)));

    // Read, not ReadOne: Debian 12's portal predates ReadOne, and later ones keep Read.
    QDBusMessage read = QDBusMessage::createMethodCall(
        portalService, portalPath, settingsInterface, QStringLiteral("Read"));
    read << appearance << colorSchemeKey;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        const QDBusPendingReply<QDBusVariant> reply = *call;
        if (!reply.isError())
            update(colorSchemeFromSetting(QVariant::fromValue(reply.value())));
        call->deleteLater();
    });
}

void DesktopColorScheme::settingChanged(const QString &group, const QString &key, const QDBusVariant &value)
{
    if (group == appearance && key == colorSchemeKey)
        update(colorSchemeFromSetting(value.variant()));
}

void DesktopColorScheme::update(ColorScheme newScheme)
{
    if (newScheme == scheme)
        return;
    scheme = newScheme;
    emit changed(scheme);
}

} // namespace platform
