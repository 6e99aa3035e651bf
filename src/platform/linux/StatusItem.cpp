#include "platform/StatusItem.h"

#include "platform/DesktopNotification.h"
#include "platform/linux/DesktopColorScheme.h"
#include "platform/linux/TitleIcon.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <xcb/xcb.h>

namespace platform {

namespace {
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int watcherReplyTimeoutMs = 2000;
constexpr int x11TrayPollMs = 3000;

// The platforms a person looks at; offscreen and the like never have a tray.
bool platformCanShowTray()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform == QLatin1String("wayland");
}
} // namespace

StatusItem::StatusItem(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        watcherWatcher
            = new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
        connect(watcherWatcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusItem::lookForHost);
        bus.connect(watcherService, watcherPath, watcherService,
            QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(lookForHost()));
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // X11 tray managers announce themselves only to clients that listen on the root
        // window; a slow poll, stopped once the item is shown, is simpler and costs nothing.
        x11Poll = new QTimer(this);
        x11Poll->setInterval(x11TrayPollMs);
        connect(x11Poll, &QTimer::timeout, this, &StatusItem::lookForHost);
        x11Poll->start();
    }
    QTimer::singleShot(0, this, &StatusItem::lookForHost);
    if (platformCanShowTray())
        QTimer::singleShot(trayHostGraceMs, this, &StatusItem::noticeMissingHost);

    colorScheme = new DesktopColorScheme(this);
    connect(colorScheme, &DesktopColorScheme::changed, this, &StatusItem::updateIcon);
}

StatusItem::~StatusItem() = default;

void StatusItem::setTitle(const QString &title)
{
    currentTitle = title;
    updateIcon();
}

void StatusItem::setToolTip(const QString &toolTip)
{
    currentToolTip = toolTip;
    if (trayIcon)
        trayIcon->setToolTip(toolTip);
}

void StatusItem::setMenu(QMenu *newMenu)
{
    menu = newMenu;
    if (trayIcon)
        trayIcon->setContextMenu(newMenu);
}

void StatusItem::lookForHost()
{
    if (trayIcon)
        return;
    if (statusNotifierHostExists() || x11TrayManagerExists())
        createTrayIcon();
}

bool StatusItem::statusNotifierHostExists() const
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, watcherReplyTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

bool StatusItem::x11TrayManagerExists() const
{
    auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // Platforms without an X server (offscreen among them) may still answer with an
    // interface whose connection is null.
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    const QByteArray selection = QByteArrayLiteral("_NET_SYSTEM_TRAY_S0");
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(connection,
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(selection.size()), selection.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t *owner
        = xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool exists = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return exists;
}

void StatusItem::createTrayIcon()
{
    if (x11Poll)
        x11Poll->stop();
    trayIcon = std::make_unique<QSystemTrayIcon>();
    trayIcon->setIcon(titleIcon(currentTitle, colorScheme->current()));
    trayIcon->setToolTip(currentToolTip);
    trayIcon->setContextMenu(menu);
    // A status item opens its menu on a plain click too.
    connect(
        trayIcon.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger && menu)
                menu->popup(QCursor::pos());
        });
    trayIcon->show();
    emit shownInTray();
}

void StatusItem::updateIcon()
{
    if (trayIcon)
        trayIcon->setIcon(titleIcon(currentTitle, colorScheme->current()));
}

void StatusItem::noticeMissingHost()
{
    if (trayIcon)
        return;
    showDesktopNotification(QStringLiteral("Orlinde is running without its tray icon"),
        QStringLiteral(
            "This desktop has no system tray, so Orlinde's menu cannot be shown. Add a tray "
            "extension (on GNOME: AppIndicator support); the icon appears as soon as there is one."));
}

} // namespace platform
