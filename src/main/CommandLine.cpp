#include "main/CommandLine.h"

#include "platform/Bundle.h"

RunMode runModeFor(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--quit-existing")))
        return RunMode::quitExisting;
    if (arguments.contains(QStringLiteral("--store-dashboard-key")))
        return RunMode::storeDashboardKey;
    return RunMode::menuBarAgent;
}

QString applicationIdentifier()
{
    return platform::Bundle::main().bundleIdentifier().value_or(QStringLiteral("com.tovrex.orlinde.app"));
}

QString quitNotificationName()
{
    return applicationIdentifier() + QStringLiteral(".quit");
}
