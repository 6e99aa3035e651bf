#include "main/Orlinde.h"

#include "platform/FileManager.h"

#include <QAction>

void Orlinde::refresh()
{
    loginItem->setChecked(platform::files::fileExists(settings->launchAgent));
}
