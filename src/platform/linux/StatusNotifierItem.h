#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

class QMenu;

namespace platform {

class DBusMenuExporter;
class StatusNotifierItemObject;

// The item as a StatusNotifierItem host sees it: exported on the session bus under our
// unique name, its menu over dbusmenu. It says it is only a menu (ItemIsMenu), so hosts
// open that menu on a left click too, drawn and placed by the host.
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
    void setToolTip(const QString &toolTip);
    void setMenu(QMenu *menu);

    // Registers the item with the watcher that now owns the watcher's name; the answer
    // names the owner that accepted it, or is empty if none did.
    void registerWithWatcher();

signals:
    void registrationAnswered(const QString &watcherOwner);

private:
    QDBusConnection connection;
    StatusNotifierItemObject *object;
    DBusMenuExporter *menu;
    bool exported = false;
};

} // namespace platform
