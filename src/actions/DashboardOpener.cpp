#include "actions/DashboardOpener.h"

#include "actions/DashboardAddress.h"
#include "platform/Workspace.h"

DashboardOpener::DashboardOpener(Settings settings, KeychainItem key, platform::Keychain &keychain)
    : settings(std::move(settings))
    , key(std::move(key))
    , keychain(keychain)
{ }

void DashboardOpener::openDashboard()
{
    // Not read at all when the key is left out anyway.
    if (settings.isProduct()) {
        open(std::nullopt);
        return;
    }
    if (reading)
        return;
    reading = true;
    readKey(keychain, key, [this](std::optional<platform::SecretBytes> storedKey) {
        reading = false;
        open(storedKey);
    });
}

void DashboardOpener::open(const std::optional<platform::SecretBytes> &storedKey) const
{
    const platform::SecretBytes address = dashboardAddress(settings.hub, settings.isProduct(), storedKey);
    std::optional<platform::SecretBytes> url = openableURL(address.view());
    if (!url)
        return;
    const QByteArrayView view = url->view();
    const qsizetype hash = view.indexOf('#');
    if (hash < 0) {
        platform::openURL(QUrl::fromEncoded(view.toByteArray()));
        return;
    }
    // A key that cannot be handed over safely stays behind; the dashboard opens all the same.
    const QUrl withoutKey = QUrl::fromEncoded(view.first(hash).toByteArray());
    if (!platform::openURL(std::move(*url)))
        platform::openURL(withoutKey);
}
