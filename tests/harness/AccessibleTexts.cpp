#include "AccessibleTexts.h"

#include "DBusCall.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace accessibility {

namespace {

const QString accessibleInterface = QStringLiteral("org.a11y.atspi.Accessible");
const QString rootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
// Bounds against a tree that refers back to itself or never ends.
constexpr int maximumDepth = 32;
constexpr int maximumObjects = 2000;

struct ObjectReference
{
    QString service;
    QString path;
};

QDBusMessage call(const QDBusConnection &bus, const ObjectReference &object, const QString &interface,
    const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(object.service, object.path, interface, method);
    message.setArguments(arguments);
    return callServingEvents(bus, message);
}

QList<ObjectReference> childrenOf(const QDBusConnection &bus, const ObjectReference &object)
{
    const QDBusMessage reply = call(bus, object, accessibleInterface, QStringLiteral("GetChildren"));
    QList<ObjectReference> children;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return children;
    const QDBusArgument array = reply.arguments().constFirst().value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        ObjectReference child;
        QDBusObjectPath path;
        array.beginStructure();
        array >> child.service >> path;
        array.endStructure();
        child.path = path.path();
        children.append(child);
    }
    array.endArray();
    return children;
}

QString nameOf(const QDBusConnection &bus, const ObjectReference &object)
{
    const QDBusMessage reply = call(bus, object, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"), { accessibleInterface, QStringLiteral("Name") });
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toString();
}

void collectNames(
    const QDBusConnection &bus, const ObjectReference &object, int depth, int &visited, QStringList &names)
{
    if (depth > maximumDepth || ++visited > maximumObjects)
        return;
    const QString name = nameOf(bus, object);
    if (!name.isEmpty())
        names.append(name);
    for (const ObjectReference &child : childrenOf(bus, object))
        collectNames(bus, child, depth + 1, visited, names);
}

QString accessibilityBusAddress()
{
    const QDBusMessage reply = call(QDBusConnection::sessionBus(),
        { QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus") }, QStringLiteral("org.a11y.Bus"),
        QStringLiteral("GetAddress"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().toString();
}

// The accessibility bus for as long as it is needed.
class AccessibilityBus
{
public:
    AccessibilityBus()
        : bus(
            QDBusConnection::connectToBus(accessibilityBusAddress(), QStringLiteral("orlinde-harness-a11y")))
    { }
    ~AccessibilityBus() { QDBusConnection::disconnectFromBus(bus.name()); }
    AccessibilityBus(const AccessibilityBus &) = delete;
    AccessibilityBus &operator=(const AccessibilityBus &) = delete;

    QDBusConnection bus;
};

} // namespace

bool enable(QString *error)
{
    const QDBusMessage reply = call(QDBusConnection::sessionBus(),
        { QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus") },
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
        { QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
            QVariant::fromValue(QDBusVariant(true)) });
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = QStringLiteral("cannot enable accessibility: ") + reply.errorMessage();
        return false;
    }
    return true;
}

QStringList textsOf(qint64 pid)
{
    const AccessibilityBus a11y;
    QStringList names;
    if (!a11y.bus.isConnected())
        return names;
    const ObjectReference registry { QStringLiteral("org.a11y.atspi.Registry"), rootPath };
    for (const ObjectReference &application : childrenOf(a11y.bus, registry)) {
        if (a11y.bus.interface()->servicePid(application.service).value() != pid)
            continue;
        int visited = 0;
        collectNames(a11y.bus, application, 0, visited, names);
    }
    return names;
}

} // namespace accessibility
