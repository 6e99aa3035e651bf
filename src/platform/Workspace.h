#pragma once

#include "platform/SecretBytes.h"

#include <QUrl>

namespace platform {

// Hands a web address or a file to the user's default application for it.
// Returns whether the hand-over was started; callers here ignore it.
bool openURL(const QUrl &url);
// The same for an address, already in encoded form, that carries a secret: the secret
// reaches no command line, environment or file that another local user could read, and
// is wiped once handed over. False when that cannot be done safely: nothing is opened.
bool openURL(SecretBytes encodedURL);

} // namespace platform
