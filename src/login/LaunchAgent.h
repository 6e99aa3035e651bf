#pragma once

#include "config/Settings.h"

#include <QString>
#include <QVariantMap>

// The label the login agent carries when the settings name no `appId`.
inline const QString defaultLaunchAgentLabel = QStringLiteral("com.tovrex.orlinde.app");

// The login agent's property list: start `appExecutable` at login, start it again after
// any exit but a successful one, at most every 15 seconds, with its output in the two
// launcher logs.
QVariantMap launchAgentPropertyList(
    const Settings &settings, const QString &standardOutPath, const QString &standardErrorPath);
