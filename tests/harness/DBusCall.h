#pragma once

#include <QDBusConnection>
#include <QDBusMessage>

// A method call that keeps this thread's event loop running until the reply comes,
// so that objects we export (the fake watcher) still answer the process we call.
QDBusMessage callServingEvents(
    const QDBusConnection &connection, const QDBusMessage &call, int timeoutMs = 5000);
