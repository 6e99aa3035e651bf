#pragma once

#include <QString>
#include <chrono>
#include <memory>

namespace platform {

// Makes this process the one running instance of an application in the user's
// session, for as long as the lock lives (on Linux: a well-known name on the session
// bus, derived from the identifier, which the bus frees when the process ends).
class InstanceLock
{
public:
    // Claims the instance named by `identifier`. While another process holds it, waits
    // up to `patience` for it to let go, as an instance that is quitting does; nothing
    // if it still holds it then. Without a session bus there is nobody to agree with,
    // and the lock is granted.
    static std::unique_ptr<InstanceLock> claim(const QString &identifier, std::chrono::milliseconds patience);

    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

private:
    explicit InstanceLock(QString name);

    QString name;
};

} // namespace platform
