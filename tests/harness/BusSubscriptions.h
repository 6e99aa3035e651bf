#pragma once

#include <QDBusConnection>
#include <QString>

// Signals reach a process only through the match rules it has given the bus. Waiting
// for the rule tells when the process listens, so that a signal posted afterwards is
// a fair test (and one it ignores is ignored by choice). Uses the bus daemon's
// Debug.Stats interface, which Debian's session bus offers.
bool waitForSubscription(qint64 pid, const QString &interfaceName, int timeoutMs,
    const QDBusConnection &connection = QDBusConnection::sessionBus());
