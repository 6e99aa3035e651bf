#include "login/LaunchAgent.h"

QVariantMap launchAgentPropertyList(
    const Settings &settings, const QString &standardOutPath, const QString &standardErrorPath)
{
    return {
        // Only an absent appId falls back; an empty one is kept as it is.
        { QStringLiteral("Label"), settings.appId.value_or(defaultLaunchAgentLabel) },
        { QStringLiteral("ProgramArguments"), QVariantList { settings.appExecutable } },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("KeepAlive"), QVariantMap { { QStringLiteral("SuccessfulExit"), false } } },
        { QStringLiteral("ThrottleInterval"), 15 },
        { QStringLiteral("StandardOutPath"), standardOutPath },
        { QStringLiteral("StandardErrorPath"), standardErrorPath },
    };
}
