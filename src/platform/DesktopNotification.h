#pragma once

#include <QString>

namespace platform {

// A message in the desktop's notification area, for what the user should know while
// no window of ours is open. Fire and forget: a desktop without a notification
// service simply shows nothing.
void showDesktopNotification(const QString &summary, const QString &body);

} // namespace platform
