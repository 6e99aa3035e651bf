#pragma once

#include <QByteArrayList>
#include <optional>

namespace platform::processInfo {

// This process's environment as NAME=value entries, exactly as it holds them.
QByteArrayList environment();
qint64 processIdentifier();

// A process told apart from any later one that is given its id: the id and the time it
// started, in the system's own units.
struct ProcessIdentity
{
    qint64 pid = 0;
    quint64 started = 0;

    bool operator==(const ProcessIdentity &) const = default;
};

// The identity of the process `pid` while it runs (not once it has ended), when it is
// this user's.
std::optional<ProcessIdentity> identityOf(qint64 pid);
// Asks the process to terminate (SIGTERM), or, `forcibly`, ends it (SIGKILL), if it is
// still the process `identity` names.
void signalProcess(const ProcessIdentity &identity, bool forcibly);

} // namespace platform::processInfo
