#include "platform/Keychain.h"

#include "platform/linux/SecretServiceClient.h"

#include <algorithm>

namespace platform::keychain {

using secretservice::Client;
using secretservice::Item;

namespace {

std::vector<SecretItem *> lockedAmong(const std::vector<Item> &items)
{
    std::vector<SecretItem *> locked;
    for (const Item &item : items) {
        if (secret_item_get_locked(item.get()))
            locked.push_back(item.get());
    }
    return locked;
}

} // namespace

Status update(const QString &service, const QString &account, const QByteArray &data)
{
    Client client;
    if (!client.isOpen())
        return Status::failure;
    const std::optional<std::vector<Item>> items = client.search(service, account);
    if (!items)
        return Status::failure;
    if (items->empty())
        return Status::itemNotFound;
    // A locked item exists: it is not "not found", and adding a second one beside it
    // would leave two keys. Unlock it (the user may be asked) or fail.
    if (const std::vector<SecretItem *> locked = lockedAmong(*items);
        !locked.empty() && !client.unlock(locked))
        return Status::failure;
    // Every matching item gets the new bytes, so a duplicate left by an earlier tool
    // cannot hand out the old key.
    const bool allSet = std::all_of(
        items->begin(), items->end(), [&](const Item &item) { return client.setSecret(item.get(), data); });
    return allSet ? Status::success : Status::failure;
}

Status add(const QString &service, const QString &account, const QByteArray &data)
{
    Client client;
    if (!client.isOpen())
        return Status::failure;
    // "Accessible when unlocked, this device only" is the default collection (the login
    // keyring): it is locked whenever the session is, and the Secret Service never
    // synchronises it to another machine.
    return client.createInDefaultCollection(service, account, data) ? Status::success : Status::failure;
}

CopyResult copyMatching(const QString &service, const QString &account)
{
    Client client;
    if (!client.isOpen())
        return {};
    const std::optional<std::vector<Item>> items = client.search(service, account);
    if (!items)
        return {};
    if (items->empty())
        return { Status::itemNotFound, std::nullopt };
    // One item is asked for; an unlocked one is read without bothering the user.
    const auto unlocked = std::find_if(
        items->begin(), items->end(), [](const Item &item) { return !secret_item_get_locked(item.get()); });
    SecretItem *chosen = unlocked != items->end() ? unlocked->get() : items->front().get();
    if (secret_item_get_locked(chosen) && !client.unlock({ chosen }))
        return {};
    std::optional<QByteArray> data = client.secretOf(chosen);
    if (!data)
        return {};
    return { Status::success, std::move(data) };
}

} // namespace platform::keychain
