#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QMenu;

namespace platform {

// The item in the desktop's tray: a title, a tooltip and a menu. Desktops show tray
// items as icons, so the title is drawn into the icon. Either mouse button opens the
// menu.
//
// An agent started at login usually comes up before the panel does: until a tray is
// there, title, tooltip and menu are kept and the rest of the application runs, and the
// item appears whenever a tray does (again after a panel restarts). When no tray has
// come some seconds after launch (GNOME without a tray extension), a desktop
// notification says so, once.
class StatusItem final : public QObject
{
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    void setTitle(const QString &title);
    void setToolTip(const QString &toolTip);
    void setMenu(QMenu *menu);

    QString title() const;
    bool isShownInTray() const;

    // The platform's side of the item; each platform defines it in its own files.
    class Tray;

signals:
    void shownInTray();

private:
    std::unique_ptr<Tray> tray;
};

// How long after launch a missing tray host counts as missing, not as a panel that
// is still starting with the session.
inline constexpr int trayHostGraceMs = 10000;

} // namespace platform
