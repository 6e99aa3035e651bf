#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QMenu;

namespace platform {

// The item in the desktop's tray: a title, a tooltip, a state and a menu. Desktops
// show tray items as icons, so the title is drawn into the icon, with a badge in its
// corner for the state. Either mouse button opens the menu.
//
// An agent started at login usually comes up before the panel does: until a tray is
// there, title, tooltip, state and menu are kept and the rest of the application runs,
// and the item appears whenever a tray does (again after a panel restarts). When no tray
// has come some seconds after launch (GNOME without a tray extension), a desktop
// notification says so, once.
class StatusItem final : public QObject
{
    Q_OBJECT
public:
    // What the badge says at a glance. Each has its own shape, so that it reads on a
    // monochrome panel and to people who cannot tell its colours apart.
    enum class State { online, offline, paused, failed };

    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    void setTitle(const QString &title);
    void setToolTip(const QString &toolTip);
    // The state, as the badge and in words as the tooltip's text under its title.
    // Setting what is already shown costs nothing: the tray hears only of changes.
    void setState(State state, const QString &description);
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
