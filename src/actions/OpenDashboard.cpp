#include "actions/DashboardAddress.h"
#include "config/KeyStore.h"
#include "main/Orlinde.h"
#include "platform/Workspace.h"

void Orlinde::openDashboard()
{
    const bool product = settings->isProduct();
    // Read afresh each time, and not at all when the key is left out anyway.
    const std::optional<QString> key = product ? std::nullopt : readKey();
    if (const std::optional<QUrl> url = openableURL(dashboardAddress(settings->hub, product, key)))
        platform::openURL(*url);
}
