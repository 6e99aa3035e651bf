#pragma once

#include "config/Settings.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Task.h"

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QTimer;

namespace platform {
class DistributedNotificationCenter;
class StatusItem;
} // namespace platform

// The application delegate: owns all run-time state, and every operation of the
// agent is one of its methods. The methods live beside the subsystem they belong to.
class Orlinde final : public QObject, public platform::ApplicationDelegate
{
    Q_OBJECT
public:
    using Action = void (Orlinde::*)();

    explicit Orlinde(platform::Clock &clock = platform::systemClock());
    ~Orlinde() override;

    void applicationDidFinishLaunching() override;
    QAction *add(QMenu *menu, const QString &title, Action action);
    QUrl logURL(const QString &name) const;
    void start();
    void stop();
    void refresh();
    void openDashboard();
    void togglePause();
    void restartCollector();
    void showLogs();
    void toggleLogin();
    void quit();
    void applicationWillTerminate() override;

    // Launch with settings already in hand, for callers that do not read them from the
    // bundle (the launch itself and the tests).
    void launchWith(const Settings &loaded);

    std::unique_ptr<platform::StatusItem> item;
    std::unique_ptr<platform::Task> collector;
    bool paused = false;
    QPointer<QTimer> timer;
    std::optional<Settings> settings;
    QAction *statusItem = nullptr;
    QAction *pauseItem = nullptr;
    QAction *loginItem = nullptr;
    double nextStart = distantPast;

    static constexpr double distantPast = -1.0e300;
    static constexpr int refreshIntervalMs = 3000;

private:
    void buildMenu();
    bool collectorIsRunning();

    platform::Clock &clock;
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<platform::DistributedNotificationCenter> notifications;
};
