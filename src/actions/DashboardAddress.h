#pragma once

#include "platform/SecretBytes.h"

#include <QString>
#include <optional>

// `hub` (as UTF-8), then "/", then "#" and the key when `product` is not true and the
// key is neither absent nor empty. Nothing is trimmed, escaped or encoded.
platform::SecretBytes dashboardAddress(
    const QString &hub, bool product, const std::optional<platform::SecretBytes> &key);

// The address in the encoded form a browser is handed, or nothing when it is not a
// valid absolute URL (a space or a line feed in it, no scheme) or when handing it over
// would change what follows the "#".
std::optional<platform::SecretBytes> openableURL(QByteArrayView address);

// Whether a fragment reaches the browser exactly as written: a valid URL fragment that
// URL normalisation leaves alone (no second "#", no percent-encoding it would decode or
// re-case). Characters beyond ASCII are fine; they go over as percent-encoded UTF-8.
bool isKeptFragment(QByteArrayView fragment);
