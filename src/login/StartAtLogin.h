#pragma once

#include "LoginStartInstaller.h"
#include "config/Settings.h"

#include <QString>
#include <optional>

// The "Start at login" switch. The login agent file at `launchAgent` is its only record:
// the setting is on exactly while that file exists, whoever wrote it. What makes the
// desktop act on that file at login (a systemd user unit and an autostart entry, both
// running the companion) is set up by the switch itself, so no terminal step is needed.
class StartAtLogin
{
public:
    // `executable` is the running app, `companion` the orlinde-login beside it.
    StartAtLogin(Settings settings, QString executable, QString companion,
        login::ConfigFolders folders = login::ConfigFolders::fromEnvironment());

    bool isOn() const;
    // Removes the file when it exists, writes it and sets up the login start otherwise;
    // when that set-up fails, the file is removed again, so the setting stays off.
    // On failure, the reason to show the user; a failed removal of a file is silent, and
    // so is a desktop without a systemd user manager (the autostart entry serves it).
    std::optional<QString> toggle();
    // At launch, while the setting is on: points the file at this app when the program
    // it names is gone (the installation moved), and sets up the login start again when
    // it is missing or names another companion. On failure, the reason to show the user.
    std::optional<QString> keepCurrent();

private:
    std::optional<QString> setUpLoginStart();

    const Settings settings;
    const QString executable;
    login::LoginStartInstaller installer;
};
