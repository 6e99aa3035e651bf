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
// `size` × `size` device pixels, the letters as tall as the icon less a margin and a
// one-pixel edge (two from 33 px), narrower the more letters there are. The edge is a
// halo in the scheme's contrast colour, or without a known scheme a dark plate under
// light letters, so that they read on a light panel and on a dark one.
QImage renderTitleIcon(const QString &title, int size, ColorScheme scheme = ColorScheme::noPreference);

// The sizes an icon offers to the tray; exported StatusNotifierItems carry one image
// of each, so the list stays short and nothing is larger than 64.
QList<int> titleIconSizes();

// Renders on demand at exactly the size and scale the tray asks for, so it stays
// crisp on HiDPI panels.
QIcon titleIcon(const QString &title, ColorScheme scheme = ColorScheme::noPreference);

} // namespace platform
