#pragma once

#include "platform/linux/SecretServiceHandles.h"
#include "platform/linux/SecretServiceLoop.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace platform::secretservice {

using Item = ObjectPtr<SecretItem>;

// One conversation with the session's Secret Service (gnome-keyring, KeePassXC, KWallet's
// bridge) over libsecret. Every D-Bus round trip is bounded, so a service that owns the
// name but never answers costs a few seconds; only an unlock, which may wait for the
// user at a password prompt, runs as long as it takes.
class Client
{
public:
    // Connects and opens a transfer session; `isOpen` tells whether that worked.
    Client();
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool isOpen() const { return service != nullptr; }

    // Every item carrying these two attribute values, locked or not (a search that
    // does not unlock is what tells a locked item from an absent one). Nothing on failure.
    std::optional<std::vector<Item>> search(const QString &serviceName, const QString &accountName);
    // Unlocks the items, prompting the user if the service wants to; true when all of
    // them are unlocked afterwards.
    bool unlock(const std::vector<SecretItem *> &items);
    bool setSecret(SecretItem *item, const QByteArray &bytes);
    std::optional<QByteArray> secretOf(SecretItem *item);
    // A new item with just these two attributes in the collection behind the alias
    // "default", unlocking that collection first when it is locked.
    bool createInDefaultCollection(
        const QString &serviceName, const QString &accountName, const QByteArray &bytes);

private:
    bool unlockObjects(const std::vector<gpointer> &objects);

    CallLoop loop;
    ObjectPtr<SecretService> service;
};

} // namespace platform::secretservice
