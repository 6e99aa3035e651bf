#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace platform {

// Linux trays show icons, not text, so the status item's title is drawn into one.
QImage renderTitleIcon(const QString &title, int size);
QIcon titleIcon(const QString &title);

} // namespace platform
