#include "platform/linux/TrayMenuPlacement.h"

#include <QtGlobal>

namespace platform {

QPoint menuPositionBeside(const QRect &icon, const QSize &menu, const QRect &screen)
{
    const int x = qMax(screen.left(), qMin(icon.left(), screen.right() + 1 - menu.width()));
    const bool fitsBelow = icon.bottom() + 1 + menu.height() <= screen.bottom() + 1;
    const int y = fitsBelow ? icon.bottom() + 1 : qMax(screen.top(), icon.top() - menu.height());
    return { x, y };
}

} // namespace platform
