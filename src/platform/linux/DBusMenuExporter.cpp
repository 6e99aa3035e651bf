#include "platform/linux/DBusMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QActionGroup>
#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QEvent>
#include <QHash>
#include <QMenu>
#include <QVariantMap>

namespace platform::dbusmenu {

// The protocol's types: a layout node (ia{sv}av), an item's properties (ia{sv}), the
// names of properties an item lost (ias) and one event of a group (isvu).
struct Layout
{
    int id = 0;
    QVariantMap properties;
    QList<Layout> children;
};

struct ItemProperties
{
    int id = 0;
    QVariantMap properties;
};
using ItemPropertiesList = QList<ItemProperties>;

struct RemovedProperties
{
    int id = 0;
    QStringList names;
};
using RemovedPropertiesList = QList<RemovedProperties>;

struct Event
{
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using EventList = QList<Event>;

QDBusArgument &operator<<(QDBusArgument &argument, const Layout &node)
{
    argument.beginStructure();
    argument << node.id << node.properties;
    argument.beginArray(qMetaTypeId<QDBusVariant>());
    for (const Layout &child : node.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Layout &node)
{
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.append(qdbus_cast<Layout>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ItemProperties &item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ItemProperties &item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const RemovedProperties &item)
{
    argument.beginStructure();
    argument << item.id << item.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, RemovedProperties &item)
{
    argument.beginStructure();
    argument >> item.id >> item.names;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const Event &event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Event &event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

} // namespace platform::dbusmenu

Q_DECLARE_METATYPE(platform::dbusmenu::Layout)
Q_DECLARE_METATYPE(platform::dbusmenu::ItemProperties)
Q_DECLARE_METATYPE(platform::dbusmenu::RemovedProperties)
Q_DECLARE_METATYPE(platform::dbusmenu::Event)

namespace platform {

namespace {

// Qt marks a mnemonic with '&', dbusmenu with '_'.
QString dbusMenuLabel(const QString &text)
{
    QString label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('_'))
            label += QStringLiteral("__");
        else if (c == QLatin1Char('&') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('&'))
            label += text.at(++i);
        else if (c == QLatin1Char('&'))
            label += QLatin1Char('_');
        else
            label += c;
    }
    return label;
}

} // namespace

using namespace dbusmenu;

// The exported object: the protocol's methods, signals and properties, nothing else.
class DBusMenuObject final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit DBusMenuObject(QObject *parent)
        : QObject(parent)
    { }

    void setMenu(QMenu *newMenu)
    {
        if (menu)
            menu->removeEventFilter(this);
        menu = newMenu;
        if (menu)
            menu->installEventFilter(this);
        ++revision;
        emit LayoutUpdated(revision, 0);
    }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    // QtDBus finds argument types by the names written here: full names, no aliases.
    // Every call is answered at once, an unknown id or property with an error: hosts
    // wait for the answer before they draw the menu.
    uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
        platform::dbusmenu::Layout &layout)
    {
        if (!isKnown(parentId)) {
            refuseId(parentId);
            return 0;
        }
        layout = node(parentId == 0 ? nullptr : entry(parentId), recursionDepth, propertyNames);
        return revision;
    }

    // No ids asks for every entry; no names for every property.
    QList<platform::dbusmenu::ItemProperties> GetGroupProperties(
        const QList<int> &ids, const QStringList &propertyNames)
    {
        ItemPropertiesList items;
        for (const int id : ids.isEmpty() ? everyId() : ids)
            if (QAction *action = entry(id))
                items.append({ id, only(propertyNames, properties(action)) });
        return items;
    }

    QDBusVariant GetProperty(int id, const QString &name)
    {
        if (!isKnown(id)) {
            refuseId(id);
            return {};
        }
        const QVariantMap all = id == 0 ? rootProperties() : properties(entry(id));
        const auto value = all.constFind(name);
        if (value == all.cend()) {
            sendErrorReply(
                QDBusError::InvalidArgs, QStringLiteral("Menu entry %1 has no %2").arg(id).arg(name));
            return {};
        }
        return QDBusVariant(*value);
    }

    void Event(int id, const QString &eventId, const QDBusVariant &, uint)
    {
        if (!isKnown(id))
            refuseId(id);
        else
            handle(id, eventId);
    }

    // The ids it knows nothing of; an error when that is all of them.
    QList<int> EventGroup(const QList<platform::dbusmenu::Event> &events)
    {
        QList<int> unknown;
        for (const dbusmenu::Event &event : events) {
            if (isKnown(event.id))
                handle(event.id, event.eventId);
            else
                unknown.append(event.id);
        }
        if (!events.isEmpty() && unknown.size() == events.size())
            refuseIds(unknown);
        return unknown;
    }

    // Nothing is built late, so no entry ever needs an update before it is shown.
    bool AboutToShow(int id)
    {
        if (!isKnown(id))
            refuseId(id);
        return false;
    }

    QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors)
    {
        idErrors.clear();
        for (const int id : ids)
            if (!isKnown(id))
                idErrors.append(id);
        if (!ids.isEmpty() && idErrors.size() == ids.size())
            refuseIds(idErrors);
        return {};
    }

signals:
    void ItemsPropertiesUpdated(const QList<platform::dbusmenu::ItemProperties> &updated,
        const QList<platform::dbusmenu::RemovedProperties> &removed);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::ActionAdded:
        case QEvent::ActionRemoved:
            ++revision;
            emit LayoutUpdated(
                revision, watched == menu ? 0 : idOf(static_cast<QMenu *>(watched)->menuAction()));
            break;
        case QEvent::ActionChanged:
            if (QAction *action = static_cast<QActionEvent *>(event)->action(); ids.contains(action))
                emit ItemsPropertiesUpdated({ { ids.value(action), properties(action) } }, {});
            break;
        default:
            break;
        }
        return false;
    }

private:
    // Ids stay with their action for as long as it lives, so a host's cached layout
    // never points at another entry.
    int idOf(QAction *action)
    {
        if (const auto known = ids.constFind(action); known != ids.cend())
            return *known;
        const int id = ++lastId;
        ids.insert(action, id);
        actions.insert(id, action);
        connect(action, &QObject::destroyed, this, [this, action, id] {
            ids.remove(action);
            actions.remove(id);
        });
        if (QMenu *submenu = action->menu())
            submenu->installEventFilter(this);
        return id;
    }

    // The action behind `id` while it is an entry of the menu: one taken out of it
    // keeps its id, but is no longer there to be read or clicked.
    QAction *entry(int id) const
    {
        QAction *action = actions.value(id);
        return action && holds(menu, action) ? action : nullptr;
    }

    bool isKnown(int id) const { return id == 0 || entry(id); }

    static bool holds(const QMenu *entries, const QAction *action)
    {
        if (!entries)
            return false;
        for (const QAction *candidate : entries->actions())
            if (candidate == action || holds(candidate->menu(), action))
                return true;
        return false;
    }

    QList<int> everyId()
    {
        QList<int> all;
        collectIds(menu, all);
        return all;
    }

    void collectIds(QMenu *entries, QList<int> &all)
    {
        if (!entries)
            return;
        for (QAction *action : entries->actions()) {
            all.append(idOf(action));
            collectIds(action->menu(), all);
        }
    }

    void handle(int id, const QString &eventId)
    {
        QAction *action = entry(id);
        // Triggered after the reply: the action may end the app.
        if (eventId == QLatin1String("clicked") && action && action->isEnabled() && action->isVisible())
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    }

    void refuseId(int id)
    {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No menu entry has the id %1").arg(id));
    }

    void refuseIds(const QList<int> &ids)
    {
        QStringList names;
        for (const int id : ids)
            names.append(QString::number(id));
        sendErrorReply(QDBusError::InvalidArgs,
            QStringLiteral("No menu entry has any of the ids %1").arg(names.join(QLatin1String(", "))));
    }

    // The layout under `action`, or under the root for none.
    Layout node(QAction *action, int depth, const QStringList &propertyNames)
    {
        Layout layout { action ? idOf(action) : 0,
            only(propertyNames, action ? properties(action) : rootProperties()), {} };
        QMenu *entries = action ? action->menu() : menu.data();
        if (!entries || depth == 0)
            return layout;
        for (QAction *child : entries->actions())
            layout.children.append(node(child, depth < 0 ? -1 : depth - 1, propertyNames));
        return layout;
    }

    static QVariantMap rootProperties()
    {
        return { { QStringLiteral("children-display"), QStringLiteral("submenu") } };
    }

    // The properties named, or all of them when none is.
    static QVariantMap only(const QStringList &names, const QVariantMap &all)
    {
        if (names.isEmpty())
            return all;
        QVariantMap some;
        for (const QString &name : names)
            if (const auto value = all.constFind(name); value != all.cend())
                some.insert(name, *value);
        return some;
    }

    // Every property that can change is sent with its value, defaults too: an update
    // replaces only what it names.
    static QVariantMap properties(QAction *action)
    {
        QVariantMap map { { QStringLiteral("visible"), action->isVisible() } };
        if (action->isSeparator()) {
            map.insert(QStringLiteral("type"), QStringLiteral("separator"));
            return map;
        }
        map.insert(QStringLiteral("label"), dbusMenuLabel(action->text()));
        map.insert(QStringLiteral("enabled"), action->isEnabled());
        if (action->isCheckable()) {
            const bool radio = action->actionGroup() && action->actionGroup()->isExclusive();
            map.insert(
                QStringLiteral("toggle-type"), radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
            map.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
        }
        if (action->menu())
            map.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        return map;
    }

    QPointer<QMenu> menu;
    QHash<QAction *, int> ids;
    QHash<int, QPointer<QAction>> actions;
    int lastId = 0;
    uint revision = 1;
};

DBusMenuExporter::DBusMenuExporter(const QDBusConnection &connection, const QString &path, QObject *parent)
    : QObject(parent)
    , connection(connection)
    , path(path)
    , object(new DBusMenuObject(this))
{
    qDBusRegisterMetaType<Layout>();
    qDBusRegisterMetaType<ItemProperties>();
    qDBusRegisterMetaType<ItemPropertiesList>();
    qDBusRegisterMetaType<RemovedProperties>();
    qDBusRegisterMetaType<RemovedPropertiesList>();
    qDBusRegisterMetaType<dbusmenu::Event>();
    qDBusRegisterMetaType<EventList>();
    exported = this->connection.registerObject(path, object,
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
            | QDBusConnection::ExportAllProperties);
}

DBusMenuExporter::~DBusMenuExporter()
{
    if (exported)
        connection.unregisterObject(path);
}

void DBusMenuExporter::setMenu(QMenu *menu)
{
    object->setMenu(menu);
}

} // namespace platform

#include "DBusMenuExporter.moc"
