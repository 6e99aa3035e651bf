#include "actions/DashboardAddress.h"

namespace {

// What the browser itself makes of the text after "#": non-ASCII characters as
// percent-encoded UTF-8, everything else as it is.
QByteArray asBrowserFragment(const QString &text)
{
    QByteArray fragment;
    for (const char byte : text.toUtf8()) {
        const auto unit = static_cast<unsigned char>(byte);
        if (unit < 0x80)
            fragment += byte;
        else
            fragment += '%' + QByteArray::number(unit, 16).toUpper();
    }
    return fragment;
}

} // namespace

QString dashboardAddress(const QString &hub, bool product, const std::optional<QString> &key)
{
    QString address = hub + QLatin1Char('/');
    if (!product && key && !key->isEmpty())
        address += QLatin1Char('#') + *key;
    return address;
}

std::optional<QUrl> openableURL(const QString &address)
{
    // Strict parsing refuses what a tolerant one would quietly percent-encode, so a key
    // with a stray space or line feed opens nothing instead of a different address.
    const QUrl url(address, QUrl::StrictMode);
    // Without a scheme there is no application to hand the address to.
    if (!url.isValid() || url.isRelative())
        return std::nullopt;
    // QUrl rewrites some valid fragments ("%41" becomes "A", a second "#" becomes "%23");
    // the page reads the key from the fragment, so a rewritten key is a wrong key.
    const qsizetype hash = address.indexOf(QLatin1Char('#'));
    if (hash >= 0 && url.fragment(QUrl::FullyEncoded).toUtf8() != asBrowserFragment(address.mid(hash + 1)))
        return std::nullopt;
    return url;
}
