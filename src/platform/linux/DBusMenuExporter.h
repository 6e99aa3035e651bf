#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

class QMenu;

namespace platform {

class DBusMenuObject;

// A QMenu as a tray host draws it: exported over com.canonical.dbusmenu at `path` and
// followed as its entries change. The host draws and places the menu itself, so it is
// never a window of ours (which on Wayland would be a toplevel of its own).
class DBusMenuExporter final : public QObject
{
    Q_OBJECT
public:
    DBusMenuExporter(const QDBusConnection &connection, const QString &path, QObject *parent = nullptr);
    ~DBusMenuExporter() override;

    bool isExported() const { return exported; }
    void setMenu(QMenu *menu);

private:
    QDBusConnection connection;
    QString path;
    DBusMenuObject *object;
    bool exported = false;
};

} // namespace platform
