#pragma once

#include <QString>
#include <QUrl>
#include <optional>

// `hub`, then "/", then "#" and the key when `product` is not true and the key is
// neither absent nor empty. Nothing is trimmed, escaped or encoded.
QString dashboardAddress(const QString &hub, bool product, const std::optional<QString> &key);

// The address as a URL for the browser, or nothing when the text is not a valid absolute
// URL (a space or a line feed in it, no scheme) or when handing it over would change
// what follows the "#".
std::optional<QUrl> openableURL(const QString &address);
