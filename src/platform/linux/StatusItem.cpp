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

// Whether the failed state also asks the host for attention (StatusNotifierItem status
// NeedsAttention). Hosts differ in what they make of it: some blink, some move the item
// out of an overflow area, some hide the icon for an attention icon.
constexpr bool failureNeedsAttention = false;

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

// Hosts give a click in the display's pixels; Qt places windows in its own, fewer by
// the screen's device pixel ratio (2 with Xft.dpi 192, say), and keeps each screen's
// top left corner the same in both.
QPoint fromDevicePixels(const QPoint &devicePoint)
{
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect geometry = screen->geometry();
        const qreal ratio = screen->devicePixelRatio();
        if (QRect(geometry.topLeft(), geometry.size() * ratio).contains(devicePoint))
            return geometry.topLeft() + (devicePoint - geometry.topLeft()) / ratio;
    }
    return devicePoint;
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
    State state = State::offline;
    QString stateDescription;
    QPointer<QMenu> menu;
    bool shown = false;

    void updateIcon()
    {
        if (statusNotifier) {
            QList<QImage> images;
            for (const int size : titleIconSizes())
                images.append(renderTitleIcon(title, size, colorScheme->current(), state));
            statusNotifier->setIcon(images);
            statusNotifier->setNeedsAttention(failureNeedsAttention && state == State::failed);
        }
        if (xembed)
            xembed->setIcon(titleIcon(title, colorScheme->current(), state));
    }

    void updateToolTip()
    {
        if (statusNotifier)
            statusNotifier->setToolTip(toolTip, stateDescription);
        // XEmbed trays show one text: the title, and the state on a line of its own.
        if (xembed)
            xembed->setToolTip(
                stateDescription.isEmpty() ? toolTip : toolTip + QLatin1Char('\n') + stateDescription);
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
        // A watcher that leaves forgets its items, even when its name comes back on the
        // same connection (a panel plugin removed and added again): register anew.
        if (watcher.isEmpty()) {
            askedWatcher.clear();
            registeredWith.clear();
        }
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
        // Hosts that ignore ItemIsMenu (LXQt's) ask the item to act on a click; the
        // item opens its menu where the click was.
        connect(statusNotifier, &StatusNotifierItem::menuRequested, this,
            [this](const QPoint &click) { popUpBeside(QRect(fromDevicePixels(click), QSize(1, 1))); });
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
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
                    popUpBeside(xembed->geometry());
            });
        xembed->show();
    }

    // Opens the menu beside `anchor` (global coordinates: the icon, or where a host
    // saw the click), or at the pointer when that is not known.
    void popUpBeside(const QRect &anchor)
    {
        if (!menu)
            return;
        QScreen *screen = QGuiApplication::screenAt(anchor.isValid() ? anchor.center() : QCursor::pos());
        if (!anchor.isValid() || !screen) {
            menu->popup(QCursor::pos());
            return;
        }
        menu->popup(menuPositionBeside(anchor, menu->sizeHint(), screen->geometry()));
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
    if (title == tray->title)
        return;
    tray->title = title;
    tray->updateIcon();
}

void StatusItem::setToolTip(const QString &toolTip)
{
    if (toolTip == tray->toolTip)
        return;
    tray->toolTip = toolTip;
    tray->updateToolTip();
}

void StatusItem::setState(State state, const QString &description)
{
    if (state != tray->state) {
        tray->state = state;
        tray->updateIcon();
    }
    if (description != tray->stateDescription) {
        tray->stateDescription = description;
        tray->updateToolTip();
    }
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
