#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QDBusServiceWatcher;
class QTimer;

namespace platform {

class DesktopColorScheme;

// The item in the desktop's tray: a title, a tooltip and a menu. Desktops show tray
// items as icons, so the title is drawn into the icon.
//
// Qt decides once per process, when a tray icon is first created, whether a
// StatusNotifierItem host exists, and never looks again. An agent started at login
// usually comes up before the panel does, so the Qt icon is created only once a host
// is there (a StatusNotifierWatcher with a registered host, or an X11 tray manager);
// until then title, tooltip and menu are kept and the rest of the application runs.
// When no host has come some seconds after launch (GNOME without a tray extension),
// a desktop notification says so, once; the item still appears whenever a host does.
class StatusItem final : public QObject
{
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    void setTitle(const QString &title);
    void setToolTip(const QString &toolTip);
    void setMenu(QMenu *menu);

    QString title() const { return currentTitle; }
    bool isShownInTray() const { return trayIcon != nullptr; }

signals:
    void shownInTray();

private:
    void lookForHost();
    bool statusNotifierHostExists() const;
    bool x11TrayManagerExists() const;
    void createTrayIcon();
    void updateIcon();
    void noticeMissingHost();

    QString currentTitle;
    QString currentToolTip;
    QPointer<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> trayIcon;
    QDBusServiceWatcher *watcherWatcher = nullptr;
    QTimer *x11Poll = nullptr;
    DesktopColorScheme *colorScheme = nullptr;
};

// How long after launch a missing tray host counts as missing, not as a panel that
// is still starting with the session.
inline constexpr int trayHostGraceMs = 10000;

} // namespace platform
