#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Where a secret lives in the keychain: one generic-password item, found by exactly
// these two names.
struct KeychainItem
{
    QString service;
    QString account;
};

// Stores the bytes exactly as given; true when the keychain reports success.
bool saveKey(const KeychainItem &item, const QByteArray &key);
// The stored key as UTF-8 text; nothing when absent, not UTF-8 or unreadable.
std::optional<QString> readKey(const KeychainItem &item);
