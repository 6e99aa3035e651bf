#include "BusSubscriptions.h"

#include "DBusCall.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMap>
#include <QStringList>
#include <QTest>
#include <algorithm>

namespace {

using RulesByName = QMap<QString, QStringList>;

RulesByName allMatchRules(const QDBusConnection &connection)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus.Debug.Stats"),
        QStringLiteral("GetAllMatchRules"));
    const QDBusMessage reply = callServingEvents(connection, call);
    RulesByName rules;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        reply.arguments().constFirst().value<QDBusArgument>() >> rules;
    return rules;
}

bool subscribed(qint64 pid, const QString &interfaceRule, const QDBusConnection &connection)
{
    const RulesByName rules = allMatchRules(connection);
    for (auto it = rules.cbegin(); it != rules.cend(); ++it) {
        const bool listens = std::any_of(it.value().cbegin(), it.value().cend(),
            [&](const QString &rule) { return rule.contains(interfaceRule); });
        if (listens && connection.interface()->servicePid(it.key()).value() == pid)
            return true;
    }
    return false;
}

} // namespace

bool waitForSubscription(
    qint64 pid, const QString &interfaceName, int timeoutMs, const QDBusConnection &connection)
{
    const QString interfaceRule = QStringLiteral("interface='%1'").arg(interfaceName);
    return QTest::qWaitFor([&] { return subscribed(pid, interfaceRule, connection); }, timeoutMs);
}
