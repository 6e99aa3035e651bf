#include "main/Orlinde.h"

#include "platform/Workspace.h"

void Orlinde::showLogs()
{
    platform::openURL(logURL(QStringLiteral("app-error.log")));
}

void Orlinde::quit()
{
    paused = true;
    stop();
    if (auto *app = platform::Application::shared())
        app->terminate();
}
