#include "platform/Keychain.h"

namespace platform::keychain {

Status update(const QString &, const QString &, const QByteArray &)
{
    return Status::failure;
}

Status add(const QString &, const QString &, const QByteArray &)
{
    return Status::failure;
}

CopyResult copyMatching(const QString &, const QString &)
{
    return {};
}

} // namespace platform::keychain
