#pragma once

#include "config/KeyStore.h"
#include "config/Settings.h"

// "Open dashboard": the dashboard's address, with the key from the keychain unless the
// installation is a product one, handed to the user's browser.
class DashboardOpener
{
public:
    DashboardOpener(Settings settings, KeychainItem key, platform::Keychain &keychain);

    // Reads the key afresh each time and opens the address once the keychain answers,
    // which may take a person's unlock; the event loop runs on meanwhile. A click while
    // a read is pending adds nothing. Every failure is silent.
    void openDashboard();

private:
    void open(const std::optional<platform::SecretBytes> &storedKey) const;

    const Settings settings;
    const KeychainItem key;
    platform::Keychain &keychain;
    bool reading = false;
};
