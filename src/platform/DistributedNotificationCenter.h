#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace platform {

// Named notifications between processes of the same user, carried by a signal on
// the session bus so that any tool can post one:
//   path /com/tovrex/orlinde, interface com.tovrex.orlinde.Notifications,
//   member Posted, one string argument = the notification name.
class DistributedNotificationCenter final : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *objectPath = "/com/tovrex/orlinde";
    static constexpr const char *interfaceName = "com.tovrex.orlinde.Notifications";
    static constexpr const char *memberName = "Posted";

    // Fire and forget: no reply is awaited, and a missing bus is not an error.
    static void post(const QString &name);

    // Calls `handler` on the main thread for every notification named exactly `name`.
    void addObserver(const QString &name, std::function<void()> handler);

private slots:
    void posted(const QString &name);

private:
    QString observedName;
    std::function<void()> observer;
};

} // namespace platform
