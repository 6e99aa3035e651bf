#pragma once

#include "platform/SecretBytes.h"

#include <QString>
#include <functional>
#include <memory>

namespace platform {

// The session's keychain. One connection is kept for the life of this object (opened
// on first use, opened again after the keychain service restarts), so a service that
// grants access per client asks the user once. Operations never block: each reports
// through its completion on this thread's event loop, and they run one after another.
// The user may be asked to unlock the keychain or to allow access while one runs.
class Keychain
{
public:
    // The outcomes callers tell apart; every other failure is `failure`.
    enum class Status { success, itemNotFound, failure };
    using Completion = std::function<void(Status)>;
    using CopyCompletion = std::function<void(Status, SecretBytes)>;

    Keychain();
    // Pending operations end without their completions being called, and any prompt
    // they caused is withdrawn.
    ~Keychain();
    Keychain(const Keychain &) = delete;
    Keychain &operator=(const Keychain &) = delete;

    // One generic-password item, found by exactly its service and account.
    void update(const QString &service, const QString &account, QByteArrayView data, Completion done);
    // A new item, replacing one the keychain holds under the same names.
    void add(const QString &service, const QString &account, QByteArrayView data, Completion done);
    void copyMatching(const QString &service, const QString &account, CopyCompletion done);

    struct Connection;

private:
    std::unique_ptr<Connection> connection;
};

} // namespace platform
