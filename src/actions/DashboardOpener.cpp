#include "actions/DashboardOpener.h"

#include "actions/DashboardAddress.h"
#include "platform/Workspace.h"

DashboardOpener::DashboardOpener(Settings settings, KeychainItem key)
    : settings(std::move(settings))
    , key(std::move(key))
{ }

void DashboardOpener::openDashboard() const
{
    const bool product = settings.isProduct();
    // Not read at all when the key is left out anyway.
    const std::optional<QString> storedKey = product ? std::nullopt : readKey(key);
    if (const std::optional<QUrl> url = openableURL(dashboardAddress(settings.hub, product, storedKey)))
        platform::openURL(*url);
}
