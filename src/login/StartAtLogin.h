#pragma once

#include "config/Settings.h"

#include <QString>
#include <optional>

// The "Start at login" switch. The login agent file at `launchAgent` is its only record:
// the setting is on exactly while that file exists, whoever wrote it.
class StartAtLogin
{
public:
    explicit StartAtLogin(Settings settings);

    bool isOn() const;
    // Removes the file when it exists, writes it otherwise. On failure, the reason to
    // show the user; a failed removal of a file is silent.
    std::optional<QString> toggle();

private:
    const Settings settings;
};
