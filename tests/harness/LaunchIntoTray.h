#pragma once

#include "TrayItem.h"

#include <QJsonObject>
#include <QProcessEnvironment>
#include <QString>
#include <optional>

class AppUnderTest;
class FakeStatusNotifierWatcher;

// Writes `settings`, starts the app in `environment` and waits for its item in
// `watcher`'s tray; the item, or nothing with the reason in `error`.
std::optional<TrayItem> launchIntoTray(AppUnderTest &app, FakeStatusNotifierWatcher &watcher,
    const QJsonObject &settings, QString *error,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
