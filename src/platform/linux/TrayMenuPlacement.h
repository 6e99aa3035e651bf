#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace platform {

// Where a menu of `menu` size opens for a tray icon at `icon` on `screen` (global
// coordinates): below the icon when it fits there (a panel at the top), else above it
// (a panel at the bottom), its left edge at the icon's, kept on the screen.
QPoint menuPositionBeside(const QRect &icon, const QSize &menu, const QRect &screen);

} // namespace platform
