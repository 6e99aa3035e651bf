#include "DBusCall.h"

#include <QDBusPendingCall>
#include <QTest>

QDBusMessage callServingEvents(const QDBusConnection &connection, const QDBusMessage &call, int timeoutMs)
{
    QDBusPendingCall pending = connection.asyncCall(call, timeoutMs);
    // The bus enforces the timeout; the margin only covers its error reply.
    if (!QTest::qWaitFor([&] { return pending.isFinished(); }, timeoutMs + 1000))
        return call.createErrorReply(QDBusError::Timeout, QStringLiteral("no reply"));
    return pending.reply();
}
