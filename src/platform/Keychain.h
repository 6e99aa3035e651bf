#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform::keychain {

// The outcomes callers tell apart; every other failure is `failure`.
enum class Status { success, itemNotFound, failure };

// One generic-password item, found by exactly its service and account.
Status update(const QString &service, const QString &account, const QByteArray &data);
Status add(const QString &service, const QString &account, const QByteArray &data);
struct CopyResult
{
    Status status = Status::failure;
    std::optional<QByteArray> data;
};
CopyResult copyMatching(const QString &service, const QString &account);

} // namespace platform::keychain
