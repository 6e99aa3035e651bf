#pragma once

#include "platform/SecretBytes.h"

#include <QUrl>

namespace platform {

// Hands a web address or a file to the user's default application for it.
// Returns whether the hand-over was started; callers here ignore it.
bool openURL(const QUrl &url);
// The same for an address, already in encoded form, that carries a secret: it is
// handed over straight from its own memory, and never written to our output.
bool openURL(const SecretBytes &encodedURL);

} // namespace platform
