#include "config/KeyStore.h"

#include <memory>

using Status = platform::Keychain::Status;

void saveKey(platform::Keychain &keychain, const KeychainItem &item, QByteArrayView key,
    std::function<void(bool stored)> done)
{
    // Kept for the second step, in memory that is wiped afterwards.
    auto kept = std::make_shared<platform::SecretBytes>(std::initializer_list<QByteArrayView> { key });
    keychain.update(
        item.service, item.account, key, [&keychain, item, kept, done = std::move(done)](Status status) {
            if (status != Status::itemNotFound) {
                done(status == Status::success);
                return;
            }
            keychain.add(item.service, item.account, kept->view(),
                [done](Status added) { done(added == Status::success); });
        });
}

void readKey(platform::Keychain &keychain, const KeychainItem &item,
    std::function<void(std::optional<platform::SecretBytes>)> done)
{
    keychain.copyMatching(
        item.service, item.account, [done = std::move(done)](Status status, platform::SecretBytes bytes) {
            // Strict: bytes that are not UTF-8 give no key rather than a mangled one. A
            // leading byte order mark is part of the key too, not something to skip.
            if (status != Status::success || !bytes.view().isValidUtf8())
                done(std::nullopt);
            else
                done(std::move(bytes));
        });
}
