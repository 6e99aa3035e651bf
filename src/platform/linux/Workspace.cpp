#include "platform/Workspace.h"

#include <QDesktopServices>

namespace platform {

bool openURL(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace platform
