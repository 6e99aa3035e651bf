#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

namespace platform {

// What the desktop says about its colours (the portal's org.freedesktop.appearance
// color-scheme); panels are assumed to follow it.
enum class ColorScheme { noPreference, preferDark, preferLight };

// Linux trays show icons, not text, so the status item's title is drawn into one:
// `size` × `size` device pixels, the glyphs inside a margin. Without a known scheme
// the glyphs sit on a dark plate with a light rim, which reads on any panel.
QImage renderTitleIcon(const QString &title, int size, ColorScheme scheme = ColorScheme::noPreference);

// The sizes an icon offers to the tray; exported StatusNotifierItems carry one image
// of each, so the list stays short and nothing is larger than 64.
QList<int> titleIconSizes();

// Renders on demand at exactly the size and scale the tray asks for, so it stays
// crisp on HiDPI panels.
QIcon titleIcon(const QString &title, ColorScheme scheme = ColorScheme::noPreference);

} // namespace platform
