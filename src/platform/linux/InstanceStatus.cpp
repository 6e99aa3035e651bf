#include "platform/InstanceStatus.h"

#include "platform/linux/InstanceBusName.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVirtualObject>

namespace platform {

namespace {

const QString objectPath = QStringLiteral("/com/tovrex/orlinde/Instance");
const QString interfaceName = QStringLiteral("com.tovrex.orlinde.Instance");
const QString methodName = QStringLiteral("StatusLine");

} // namespace

class InstanceStatus::Answer final : public QDBusVirtualObject
{
public:
    explicit Answer(std::function<QString()> statusLine)
        : statusLine(std::move(statusLine))
    { }

    QString introspect(const QString &) const override
    {
        return QStringLiteral(R"(<interface name="%1"><method name="%2">)"
                              R"(<arg type="s" direction="out"/></method></interface>)")
            .arg(interfaceName, methodName);
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        // A caller may leave the interface out, as D-Bus allows.
        if (message.member() != methodName
            || !(message.interface().isEmpty() || message.interface() == interfaceName)
            || !message.arguments().isEmpty())
            return false;
        return connection.send(message.createReply(statusLine()));
    }

private:
    std::function<QString()> statusLine;
};

InstanceStatus::InstanceStatus(std::function<QString()> statusLine)
    : answer(std::make_unique<Answer>(std::move(statusLine)))
{
    QDBusConnection::sessionBus().registerVirtualObject(objectPath, answer.get());
}

InstanceStatus::~InstanceStatus()
{
    QDBusConnection::sessionBus().unregisterObject(objectPath);
}

std::optional<QString> InstanceStatus::query(const QString &identifier, std::chrono::milliseconds patience)
{
    // Qt's bus thread may still be handing an error reply on while the process exits. A
    // type registry first made after the connection is gone by then, and Qt warns of
    // invalid types on standard error; made first, it outlives the connection.
    qRegisterMetaType<QDBusMessage>();
    qRegisterMetaType<QDBusError>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage call
        = QDBusMessage::createMethodCall(instanceBusName(identifier), objectPath, interfaceName, methodName);
    // Asking must never start anything, not even a service the bus could activate.
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, int(patience.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1
        || reply.arguments().constFirst().typeId() != QMetaType::QString)
        return std::nullopt;
    return reply.arguments().constFirst().toString();
}

} // namespace platform
