#pragma once

#include "MenuEntry.h"

#include <QDBusConnection>
#include <QImage>
#include <QList>
#include <QString>
#include <QVariant>
#include <optional>

// What a tray host sees of one StatusNotifierItem and its dbusmenu, read over the
// bus each time it is asked. Failures return nothing and leave the reason in
// errorString, for the test's message.
class TrayItem
{
public:
    TrayItem(const QString &service, const QString &path,
        const QDBusConnection &connection = QDBusConnection::sessionBus());

    QString errorString() const { return error; }

    // A property of org.kde.StatusNotifierItem; compound values come as QDBusArgument.
    std::optional<QVariant> property(const QString &name);
    std::optional<QString> stringProperty(const QString &name);
    // The title field of the ToolTip property.
    std::optional<QString> toolTipTitle();
    // IconPixmap, decoded; largest first.
    std::optional<QList<QImage>> iconPixmaps();

    // GetLayout(0, -1, []): the root entry, whose children are the menu.
    std::optional<MenuEntry> menu();
    // Activates the entry labelled `label` as a click in the host's menu would.
    // Ids change between layouts, so the label is looked up again every time.
    bool click(const QString &label);
    // Polls the layout until an entry has this label (it may change at run time).
    bool waitForLabel(const QString &label, int timeoutMs);

private:
    std::optional<QString> menuPath();
    bool failed(const QString &what);

    QDBusConnection connection;
    QString itemService;
    QString itemPath;
    QString error;
};
