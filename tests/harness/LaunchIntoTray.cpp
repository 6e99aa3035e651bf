#include "LaunchIntoTray.h"

#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "Timeouts.h"

#include <QJsonDocument>

std::optional<TrayItem> launchIntoTray(AppUnderTest &app, FakeStatusNotifierWatcher &watcher,
    const QJsonObject &settings, QString *error, const QProcessEnvironment &environment)
{
    if (!app.isValid() || !app.writeSettings(QJsonDocument(settings).toJson())
        || !app.start({}, environment)) {
        *error = app.errorString();
        return std::nullopt;
    }
    const std::optional<FakeStatusNotifierWatcher::Item> registered
        = watcher.waitForItemOf(app.pid(), timeouts::launchMs);
    if (!registered) {
        *error = QStringLiteral("expected a tray item within %1 ms, got none (app %2; registrations: [%3])")
                     .arg(timeouts::launchMs)
                     .arg(describe(app.waitForExit(0)), watcher.registrationLog().join(QStringLiteral(", ")));
        return std::nullopt;
    }
    return TrayItem(registered->service, registered->path);
}
