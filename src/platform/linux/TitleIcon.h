#pragma once

#include "platform/StatusItem.h"

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

namespace platform {

// What the desktop says about its colours (the portal's org.freedesktop.appearance
// color-scheme); panels are assumed to follow it.
enum class ColorScheme { noPreference, preferDark, preferLight };

// Linux trays show icons, not text, so the status item's title is drawn into one:
// `size` × `size` device pixels inside a margin and a one-pixel edge (two from 33 px),
// the letters across the top and a badge for the state in the bottom left corner, a
// third of the icon high. Letters and badge read on a light panel and on a dark one:
// in a middle tone, or with a known scheme the letters in the tone opposite the
// panel's with a halo in the panel's.
QImage renderTitleIcon(const QString &title, int size, ColorScheme scheme = ColorScheme::noPreference,
    StatusItem::State state = StatusItem::State::offline);

// The sizes an icon offers to the tray; exported StatusNotifierItems carry one image
// of each, so the list stays short and nothing is larger than 64.
QList<int> titleIconSizes();

// Renders on demand at exactly the size and scale the tray asks for, so it stays
// crisp on HiDPI panels.
QIcon titleIcon(const QString &title, ColorScheme scheme = ColorScheme::noPreference,
    StatusItem::State state = StatusItem::State::offline);

} // namespace platform
