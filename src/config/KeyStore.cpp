#include "config/KeyStore.h"

#include "platform/Keychain.h"

#include <QStringDecoder>

bool saveKey(const KeychainItem &item, const QByteArray &key)
{
    using platform::keychain::Status;
    Status status = platform::keychain::update(item.service, item.account, key);
    if (status == Status::itemNotFound)
        status = platform::keychain::add(item.service, item.account, key);
    return status == Status::success;
}

std::optional<QString> readKey(const KeychainItem &item)
{
    const platform::keychain::CopyResult result
        = platform::keychain::copyMatching(item.service, item.account);
    if (result.status != platform::keychain::Status::success || !result.data)
        return std::nullopt;
    // Strict decoding: bytes that are not UTF-8 give no key rather than a mangled one.
    // A leading byte order mark is part of the key too, not something to skip.
    QStringDecoder utf8(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8.decode(*result.data);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}
