#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

class QMenu;

namespace platform {

class DBusMenuExporter;
class StatusNotifierItemObject;

// The item as a StatusNotifierItem host sees it: exported on the session bus under our
// unique name, its menu over dbusmenu. It says it is only a menu (ItemIsMenu), so hosts
// open that menu on a left click too, drawn and placed by the host. Hosts that ask the
// item to act on a click instead (Activate, ContextMenu) are asked in turn to open the
// menu where the click was (menuRequested); on Wayland, where a client cannot place a
// popup at a screen position, they get an error, and those that handle it (Plasma)
// open the exported menu.
//
// Qt's own tray icon cannot say so, and decides once per process whether a host
// exists; this item can be registered with whichever watcher comes, as often as one
// does.
class StatusNotifierItem final : public QObject
{
    Q_OBJECT
public:
    explicit StatusNotifierItem(QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    bool isExported() const;

    // The icon at every size it is offered in, largest last.
    void setIcon(const QList<QImage> &images);
    // The tooltip's title and the text under it; hosts hear of it only when it changes.
    void setToolTip(const QString &title, const QString &text);
    // Status NeedsAttention rather than Active.
    void setNeedsAttention(bool needsAttention);
    void setMenu(QMenu *menu);

    // Registers the item with the watcher that now owns the watcher's name; the answer
    // names the owner that accepted it, or is empty if none did.
    void registerWithWatcher();

signals:
    void registrationAnswered(const QString &watcherOwner);
    // A host asked for the item's menu at `screenPosition` (global coordinates).
    void menuRequested(const QPoint &screenPosition);

private:
    QDBusConnection connection;
    StatusNotifierItemObject *object;
    DBusMenuExporter *menu;
    bool exported = false;
};

} // namespace platform
