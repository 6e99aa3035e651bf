#include "platform/StatusItem.h"

#include "platform/DesktopNotification.h"
#include "platform/linux/DesktopColorScheme.h"
#include "platform/linux/StatusNotifierHostWatch.h"
#include "platform/linux/StatusNotifierItem.h"
#include "platform/linux/TitleIcon.h"
#include "platform/linux/TrayMenuPlacement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <xcb/xcb.h>

namespace platform {

namespace {

constexpr int x11TrayPollMs = 3000;

// The platforms a person looks at; offscreen and the like never have a tray.
bool platformCanShowTray()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform == QLatin1String("wayland");
}

bool x11TrayManagerExists()
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

} // namespace

// Shows the item as a StatusNotifierItem whenever a host is registered, and otherwise,
// on X11, in an XEmbed tray through QSystemTrayIcon. Qt decides once per process, on
// the first tray icon, whether a D-Bus tray exists; that icon is made only while no
// host is registered, so Qt's answer is always the XEmbed tray.
class StatusItem::Tray final : public QObject
{
public:
    explicit Tray(StatusItem *item)
        : item(item)
    {
        if (!platformCanShowTray())
            return;
        connect(hosts, &StatusNotifierHostWatch::changed, this, &Tray::update);
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            // X11 tray managers announce themselves only to clients that listen on the
            // root window; a slow poll while nothing is shown is simpler and costs nothing.
            x11Poll->setInterval(x11TrayPollMs);
            connect(x11Poll, &QTimer::timeout, this, &Tray::update);
            x11Poll->start();
        }
        QTimer::singleShot(trayHostGraceMs, this, &Tray::noticeMissingHost);
        connect(colorScheme, &DesktopColorScheme::changed, this, &Tray::updateIcon);
    }

    QString title;
    QString toolTip;
    QPointer<QMenu> menu;
    bool shown = false;

    void updateIcon()
    {
        if (statusNotifier) {
            QList<QImage> images;
            for (const int size : titleIconSizes())
                images.append(renderTitleIcon(title, size, colorScheme->current()));
            statusNotifier->setIcon(images);
        }
        if (xembed)
            xembed->setIcon(titleIcon(title, colorScheme->current()));
    }

    void updateToolTip()
    {
        if (statusNotifier)
            statusNotifier->setToolTip(toolTip);
        if (xembed)
            xembed->setToolTip(toolTip);
    }

    void updateMenu()
    {
        if (statusNotifier)
            statusNotifier->setMenu(menu);
    }

private:
    void update()
    {
        const QString watcher = hosts->watcherOwner();
        if (!watcher.isEmpty() && !statusNotifier)
            createStatusNotifierItem();
        // Registered with each watcher once it has a host: waybar's host lists the items
        // as it registers and hears only of later ones, so an item registered in between
        // is never shown. Once per watcher, so one that refuses is not asked again.
        if (statusNotifier && !watcher.isEmpty() && hosts->hostRegistered() && watcher != askedWatcher) {
            askedWatcher = watcher;
            statusNotifier->registerWithWatcher();
        }
        const bool statusNotifierShown = hosts->hostRegistered() && registeredWith == watcher;
        if (statusNotifierShown)
            xembed.reset();
        else if (!xembed && !hosts->hostRegistered() && x11TrayManagerExists())
            createXEmbedIcon();
        if (statusNotifierShown || xembed)
            x11Poll->stop();
        else if (QGuiApplication::platformName() == QLatin1String("xcb"))
            x11Poll->start();

        const bool nowShown = statusNotifierShown || xembed;
        if (nowShown && !shown) {
            shown = true;
            emit item->shownInTray();
        }
        shown = nowShown;
    }

    void createStatusNotifierItem()
    {
        statusNotifier = new StatusNotifierItem(this);
        connect(statusNotifier, &StatusNotifierItem::registrationAnswered, this,
            [this](const QString &acceptedBy) {
                registeredWith = acceptedBy;
                update();
            });
        updateIcon();
        updateToolTip();
        updateMenu();
    }

    void createXEmbedIcon()
    {
        xembed = std::make_unique<QSystemTrayIcon>();
        updateIcon();
        updateToolTip();
        // No context menu of Qt's: it would open at the pointer, over the icon. Both
        // buttons open ours beside the icon.
        connect(xembed.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (menu && (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context))
                    popUpBesideIcon();
            });
        xembed->show();
    }

    void popUpBesideIcon()
    {
        const QRect icon = xembed->geometry();
        QScreen *screen = QGuiApplication::screenAt(icon.isValid() ? icon.center() : QCursor::pos());
        if (!icon.isValid() || !screen) {
            menu->popup(QCursor::pos());
            return;
        }
        menu->popup(menuPositionBeside(icon, menu->sizeHint(), screen->geometry()));
    }

    void noticeMissingHost()
    {
        if (shown)
            return;
        showDesktopNotification(QStringLiteral("Orlinde is running without its tray icon"),
            QStringLiteral(
                "This desktop has no system tray, so Orlinde's menu cannot be shown. Add a tray "
                "extension (on GNOME: AppIndicator support); the icon appears as soon as there is one."));
    }

    StatusItem *item;
    StatusNotifierHostWatch *hosts = new StatusNotifierHostWatch(this);
    DesktopColorScheme *colorScheme = new DesktopColorScheme(this);
    QTimer *x11Poll = new QTimer(this);
    StatusNotifierItem *statusNotifier = nullptr;
    std::unique_ptr<QSystemTrayIcon> xembed;
    QString askedWatcher;
    QString registeredWith;
};

StatusItem::StatusItem(QObject *parent)
    : QObject(parent)
    , tray(std::make_unique<Tray>(this))
{ }

StatusItem::~StatusItem() = default;

void StatusItem::setTitle(const QString &title)
{
    tray->title = title;
    tray->updateIcon();
}

void StatusItem::setToolTip(const QString &toolTip)
{
    tray->toolTip = toolTip;
    tray->updateToolTip();
}

void StatusItem::setMenu(QMenu *menu)
{
    tray->menu = menu;
    tray->updateMenu();
}

QString StatusItem::title() const
{
    return tray->title;
}

bool StatusItem::isShownInTray() const
{
    return tray->shown;
}

} // namespace platform
