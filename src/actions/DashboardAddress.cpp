#include "actions/DashboardAddress.h"

#include <QUrl>
#include <algorithm>
#include <string_view>

namespace {

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower case too: a browser would upper-case it
}

bool isForbiddenInFragment(char c)
{
    const auto unit = static_cast<unsigned char>(c);
    if (unit >= 0x80)
        return false;
    static constexpr std::string_view forbidden = "\"<>\\^`{|}#";
    return unit <= 0x20 || unit == 0x7f || forbidden.find(c) != std::string_view::npos;
}

char hexDigit(int value)
{
    return "0123456789ABCDEF"[value];
}

} // namespace

bool isKeptFragment(QByteArrayView fragment)
{
    for (qsizetype i = 0; i < fragment.size(); ++i) {
        const char c = fragment[i];
        if (isForbiddenInFragment(c))
            return false;
        if (c != '%')
            continue;
        if (i + 2 >= fragment.size())
            return false;
        const int high = hexValue(fragment[i + 1]);
        const int low = hexValue(fragment[i + 2]);
        if (high < 0 || low < 0 || isUnreserved(static_cast<char>(high * 16 + low)))
            return false;
        i += 2;
    }
    return true;
}

platform::SecretBytes dashboardAddress(
    const QString &hub, bool product, const std::optional<platform::SecretBytes> &key)
{
    const QByteArray start = hub.toUtf8() + '/';
    if (product || !key || key->isEmpty())
        return platform::SecretBytes { start };
    return platform::SecretBytes { start, "#", key->view() };
}

std::optional<platform::SecretBytes> openableURL(QByteArrayView address)
{
    const qsizetype hash = address.indexOf('#');
    const QByteArrayView fragment = hash < 0 ? QByteArrayView() : address.sliced(hash + 1);
    // Only the part before "#" goes through URL parsing, which keeps copies of what it
    // parses: the fragment, which carries the key, is checked by the rule above.
    // Strict parsing refuses what a tolerant one would quietly percent-encode, so a
    // stray space or line feed opens nothing instead of a different address.
    const QUrl base(QString::fromUtf8(hash < 0 ? address : address.first(hash)), QUrl::StrictMode);
    // Without a scheme there is no application to hand the address to.
    if (!base.isValid() || base.isRelative() || !isKeptFragment(fragment))
        return std::nullopt;
    const QByteArray encodedBase = base.toEncoded();
    if (hash < 0)
        return platform::SecretBytes { encodedBase };
    // What the browser makes of the fragment: non-ASCII bytes percent-encoded.
    const auto beyondAscii = std::count_if(
        fragment.begin(), fragment.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    platform::SecretBytes encoded(encodedBase.size() + 1 + fragment.size() + 2 * beyondAscii);
    char *out = std::copy(encodedBase.begin(), encodedBase.end(), encoded.data());
    *out++ = '#';
    for (const char c : fragment) {
        const auto unit = static_cast<unsigned char>(c);
        if (unit < 0x80) {
            *out++ = c;
            continue;
        }
        *out++ = '%';
        *out++ = hexDigit(unit >> 4);
        *out++ = hexDigit(unit & 0xf);
    }
    return encoded;
}
