#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The keychain names of the dashboard key, assigned first thing by main.
extern QString service;
extern QString account;

// Stores the bytes exactly as given; true when the keychain reports success.
bool saveKey(const QByteArray &key);
// The stored key as UTF-8 text; nothing when absent, not UTF-8 or unreadable.
std::optional<QString> readKey();
