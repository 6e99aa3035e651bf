#include "main/CommandLine.h"

#include "platform/Bundle.h"

RunMode runModeFor(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--quit-existing")))
        return RunMode::quitExisting;
    if (arguments.contains(QStringLiteral("--store-dashboard-key")))
        return RunMode::storeDashboardKey;
    if (arguments.contains(QStringLiteral("--status")))
        return RunMode::status;
    return RunMode::menuBarAgent;
}

int statusExitCode(const std::optional<QString> &statusLine)
{
    if (!statusLine)
        return 3;
    return *statusLine == QLatin1String("Connected to dashboard") ? 0 : 1;
}

QString applicationIdentifier()
{
    return platform::Bundle::main().bundleIdentifier().value_or(QStringLiteral("com.tovrex.orlinde.app"));
}

QString quitNotificationName(const QString &identifier)
{
    return identifier + QStringLiteral(".quit");
}
