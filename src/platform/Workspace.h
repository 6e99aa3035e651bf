#pragma once

#include <QUrl>

namespace platform {

// Hands a web address or a file to the user's default application for it.
// Returns whether the hand-over was started; callers here ignore it.
bool openURL(const QUrl &url);

} // namespace platform
