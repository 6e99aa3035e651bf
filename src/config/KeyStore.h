#pragma once

#include "platform/Keychain.h"
#include "platform/SecretBytes.h"

#include <QByteArrayView>
#include <QString>
#include <functional>
#include <optional>

// Where a secret lives in the keychain: one generic-password item, found by exactly
// these two names.
struct KeychainItem
{
    QString service;
    QString account;
};

// Stores the bytes exactly as given; `done` learns whether the keychain reported success.
void saveKey(platform::Keychain &keychain, const KeychainItem &item, QByteArrayView key,
    std::function<void(bool stored)> done);
// The stored key, UTF-8 encoded; nothing when absent, not UTF-8 or unreadable.
void readKey(platform::Keychain &keychain, const KeychainItem &item,
    std::function<void(std::optional<platform::SecretBytes>)> done);
