#include "TrayItem.h"

#include "DBusCall.h"
#include "StatusNotifierTypes.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QTest>

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

} // namespace

TrayItem::TrayItem(const QString &service, const QString &path, const QDBusConnection &connection)
    : connection(connection)
    , itemService(service)
    , itemPath(path)
{ }

bool TrayItem::failed(const QString &what)
{
    error = what;
    return false;
}

std::optional<QVariant> TrayItem::property(const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        itemService, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << itemInterface << name;
    const QDBusMessage reply = callServingEvents(connection, call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        failed(
            QStringLiteral("reading %1 of %2%3: %4").arg(name, itemService, itemPath, reply.errorMessage()));
        return std::nullopt;
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

std::optional<QString> TrayItem::stringProperty(const QString &name)
{
    const std::optional<QVariant> value = property(name);
    if (!value)
        return std::nullopt;
    return value->toString();
}

std::optional<QString> TrayItem::toolTipTitle()
{
    const std::optional<QVariant> value = property(QStringLiteral("ToolTip"));
    if (!value)
        return std::nullopt;
    if (value->userType() != qMetaTypeId<QDBusArgument>()) {
        failed(QStringLiteral("ToolTip is not a structure but %1").arg(value->typeName()));
        return std::nullopt;
    }
    return decodeToolTip(value->value<QDBusArgument>()).title;
}

std::optional<QList<QImage>> TrayItem::iconPixmaps()
{
    const std::optional<QVariant> value = property(QStringLiteral("IconPixmap"));
    if (!value)
        return std::nullopt;
    if (value->userType() != qMetaTypeId<QDBusArgument>()) {
        failed(QStringLiteral("IconPixmap is not an array but %1").arg(value->typeName()));
        return std::nullopt;
    }
    return decodePixmaps(value->value<QDBusArgument>());
}

std::optional<QString> TrayItem::menuPath()
{
    const std::optional<QVariant> value = property(QStringLiteral("Menu"));
    if (!value)
        return std::nullopt;
    const QString path = value->value<QDBusObjectPath>().path();
    if (path.isEmpty() || path == QLatin1String("/")) {
        failed(QStringLiteral("the item has no menu"));
        return std::nullopt;
    }
    return path;
}

std::optional<MenuEntry> TrayItem::menu()
{
    const std::optional<QString> path = menuPath();
    if (!path)
        return std::nullopt;
    QDBusMessage call
        = QDBusMessage::createMethodCall(itemService, *path, menuInterface, QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = callServingEvents(connection, call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        failed(QStringLiteral("GetLayout on %1%2: %3").arg(itemService, *path, reply.errorMessage()));
        return std::nullopt;
    }
    return MenuEntry::fromDBus(reply.arguments().at(1).value<QDBusArgument>());
}

bool TrayItem::click(const QString &label)
{
    const std::optional<MenuEntry> root = menu();
    if (!root)
        return false;
    const MenuEntry *entry = root->find(label);
    if (!entry)
        return failed(QStringLiteral("no menu entry \"%1\"").arg(label));
    const std::optional<QString> path = menuPath();
    if (!path)
        return false;
    QDBusMessage call
        = QDBusMessage::createMethodCall(itemService, *path, menuInterface, QStringLiteral("Event"));
    call << entry->id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
         << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
    const QDBusMessage reply = callServingEvents(connection, call);
    // An entry that ends the app may end it before the reply is sent; hosts do not
    // wait for one anyway.
    const bool endedBeforeReplying = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply");
    if (reply.type() != QDBusMessage::ReplyMessage && !endedBeforeReplying)
        return failed(QStringLiteral("Event on \"%1\": %2").arg(label, reply.errorMessage()));
    return true;
}

bool TrayItem::waitForLabel(const QString &label, int timeoutMs)
{
    QString lastSeen;
    const bool found = QTest::qWaitFor(
        [&] {
            const std::optional<MenuEntry> root = menu();
            if (!root)
                return false;
            lastSeen.clear();
            for (const MenuEntry &entry : root->children)
                lastSeen += entry.describe() + QLatin1Char(' ');
            return root->find(label) != nullptr;
        },
        timeoutMs);
    if (!found)
        failed(
            QStringLiteral("no entry \"%1\" within %2 ms; menu: %3").arg(label).arg(timeoutMs).arg(lastSeen));
    return found;
}
