#pragma once

#include "config/KeyStore.h"
#include "config/Settings.h"

// "Open dashboard": the dashboard's address, with the key from the keychain unless the
// installation is a product one, handed to the user's browser.
class DashboardOpener
{
public:
    DashboardOpener(Settings settings, KeychainItem key);

    // Reads the key afresh each time; every failure is silent.
    void openDashboard() const;

private:
    const Settings settings;
    const KeychainItem key;
};
