#pragma once

#include "collector/CollectorSupervisor.h"
#include "config/KeyStore.h"
#include "config/Settings.h"
#include "platform/Application.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

class DashboardOpener;
class QAction;
class QMenu;
class QTimer;
class StartAtLogin;

namespace platform {
class DistributedNotificationCenter;
class InstanceStatus;
class Keychain;
class StatusItem;
} // namespace platform

// The application delegate: at launch it loads the settings and wires the subsystems to
// the status item, its menu, the refresh timer, the quit notification and the answer to
// status queries; at termination it stops the refresh and the collector.
class Orlinde final : public QObject, public platform::ApplicationDelegate
{
    Q_OBJECT
public:
    Orlinde(KeychainItem dashboardKey, CollectorSupervisor::Clocks clocks);
    ~Orlinde() override;

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

private:
    using Action = void (Orlinde::*)();

    void launchWith(const Settings &loaded);
    void buildMenu();
    QAction *add(QMenu *menu, const QString &title, Action action);

    void refresh();
    void openDashboard();
    void togglePause();
    void restartCollector();
    void showLogs();
    void toggleLogin();
    void quit();

    const KeychainItem dashboardKey;
    const CollectorSupervisor::Clocks clocks;
    std::optional<Settings> settings;
    std::unique_ptr<CollectorSupervisor> collector;
    std::unique_ptr<StartAtLogin> startAtLogin;
    std::unique_ptr<platform::Keychain> keychain;
    std::unique_ptr<DashboardOpener> dashboard;
    std::unique_ptr<platform::StatusItem> item;
    std::unique_ptr<QMenu> menu;
    QAction *statusItem = nullptr;
    QAction *pauseItem = nullptr;
    QAction *loginItem = nullptr;
    QPointer<QTimer> timer;
    std::unique_ptr<platform::DistributedNotificationCenter> notifications;
    std::unique_ptr<platform::InstanceStatus> status;
};
