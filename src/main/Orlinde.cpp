#include "main/Orlinde.h"

#include "actions/DashboardOpener.h"
#include "login/StartAtLogin.h"
#include "main/CommandLine.h"
#include "main/StatusItemState.h"
#include "platform/Alert.h"
#include "platform/Bundle.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/FileManager.h"
#include "platform/InstanceStatus.h"
#include "platform/Keychain.h"
#include "platform/StatusItem.h"
#include "platform/Workspace.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QTimer>

namespace {

constexpr int refreshIntervalMs = 3000;

// The user's own settings come first: an installation shared by every user (a package)
// leaves its bundle without any. Whatever is there is read, never passed over.
std::optional<QString> settingsPath()
{
    const QString perUser = platform::userConfigurationDirectory() + QLatin1Char('/')
        + applicationIdentifier() + QStringLiteral("/settings.json");
    if (platform::files::itemSize(perUser))
        return perUser;
    return platform::Bundle::main().urlForResource(QStringLiteral("settings"), QStringLiteral("json"));
}

std::optional<Settings> loadSettings()
{
    const std::optional<QString> url = settingsPath();
    if (!url)
        return std::nullopt;
    // Anything but a regular file counts as missing: a FIFO would block the launch.
    const std::optional<QByteArray> bytes = platform::files::readRegularFile(*url);
    if (!bytes)
        return std::nullopt;
    return Settings::decode(*bytes);
}

} // namespace

Orlinde::Orlinde(KeychainItem dashboardKey, CollectorSupervisor::Clocks clocks)
    : dashboardKey(std::move(dashboardKey))
    , clocks(clocks)
{ }

Orlinde::~Orlinde() = default;

void Orlinde::applicationDidFinishLaunching()
{
    const std::optional<Settings> loaded = loadSettings();
    if (!loaded) {
        platform::runModalAlert(QStringLiteral("Install Orlinde first"),
            QStringLiteral(
                "Open Install App.command from the top level of the extracted ZIP folder. That installer "
                "pairs this computer and installs the app."));
        if (auto *app = platform::Application::shared())
            app->terminate();
        return;
    }
    launchWith(*loaded);
}

void Orlinde::launchWith(const Settings &loaded)
{
    settings = loaded;
    collector = std::make_unique<CollectorSupervisor>(loaded, clocks);
    const QString executable = QCoreApplication::applicationFilePath();
    startAtLogin = std::make_unique<StartAtLogin>(
        loaded, executable, QFileInfo(executable).dir().filePath(QStringLiteral("orlinde-login")));
    keychain = std::make_unique<platform::Keychain>();
    dashboard = std::make_unique<DashboardOpener>(loaded, dashboardKey, *keychain);

    item = std::make_unique<platform::StatusItem>();
    item->setTitle(settings->isProduct() ? QStringLiteral("OLH") : QStringLiteral("OL"));
    item->setToolTip(QStringLiteral("Orlinde"));
    buildMenu();

    notifications = std::make_unique<platform::DistributedNotificationCenter>();
    notifications->addObserver(quitNotificationName(), [this] { quit(); });
    status = std::make_unique<platform::InstanceStatus>([this] { return statusItem->text(); });

    collector->start();

    auto *refreshTimer = new QTimer(this);
    refreshTimer->setInterval(refreshIntervalMs);
    // The timer lives inside the delegate, so it can never keep the delegate alive.
    QPointer<Orlinde> weakSelf(this);
    connect(refreshTimer, &QTimer::timeout, this, [weakSelf] {
        if (weakSelf)
            weakSelf->refresh();
    });
    refreshTimer->start();
    timer = refreshTimer;

    refresh();

    if (const std::optional<QString> failure = startAtLogin->keepCurrent())
        platform::runModalAlert(QStringLiteral("Could not change startup setting"), *failure);
}

QAction *Orlinde::add(QMenu *menu, const QString &title, Action action)
{
    auto *entry = new QAction(title, menu);
    connect(entry, &QAction::triggered, this, action);
    menu->addAction(entry);
    return entry;
}

void Orlinde::buildMenu()
{
    menu = std::make_unique<QMenu>();
    statusItem = new QAction(QStringLiteral("Starting collector…"), menu.get());
    statusItem->setEnabled(false);
    menu->addAction(statusItem);
    menu->addSeparator();
    add(menu.get(), QStringLiteral("Open dashboard"), &Orlinde::openDashboard);
    pauseItem = add(menu.get(), QStringLiteral("Pause reporting"), &Orlinde::togglePause);
    add(menu.get(), QStringLiteral("Restart collector"), &Orlinde::restartCollector);
    add(menu.get(), QStringLiteral("Show logs"), &Orlinde::showLogs);
    loginItem = add(menu.get(), QStringLiteral("Start at login"), &Orlinde::toggleLogin);
    // The check mark is drawn from the file system on every refresh, never by a click.
    loginItem->setCheckable(true);
    menu->addSeparator();
    add(menu.get(), QStringLiteral("Quit for this session"), &Orlinde::quit);
    item->setMenu(menu.get());
}

void Orlinde::refresh()
{
    // The supervisor launches nothing while paused, running or backing off, and its
    // status line tells a launch that failed.
    collector->tick();
    loginItem->setChecked(startAtLogin->isOn());
    statusItem->setText(collector->statusLine());
    // The tray hears of the state only when it changes.
    item->setState(statusItemState(statusItem->text()), statusItem->text());
}

void Orlinde::openDashboard()
{
    dashboard->openDashboard();
}

void Orlinde::togglePause()
{
    if (collector->isPaused()) {
        pauseItem->setText(QStringLiteral("Pause reporting"));
        collector->resume();
    } else {
        pauseItem->setText(QStringLiteral("Resume reporting"));
        collector->pause();
    }
    refresh();
}

void Orlinde::restartCollector()
{
    collector->restart();
    pauseItem->setText(QStringLiteral("Pause reporting"));
}

void Orlinde::showLogs()
{
    platform::openURL(settings->logURL(QStringLiteral("app-error.log")));
}

void Orlinde::toggleLogin()
{
    if (const std::optional<QString> failure = startAtLogin->toggle())
        platform::runModalAlert(QStringLiteral("Could not change startup setting"), *failure);
    refresh();
}

void Orlinde::quit()
{
    collector->pause();
    if (auto *app = platform::Application::shared())
        app->terminate();
}

void Orlinde::applicationWillTerminate()
{
    if (timer)
        timer->stop();
    if (collector)
        collector->stopForGood();
    // A key read still waiting (on an unlock prompt, say) is called off and its prompt
    // withdrawn; the opener goes first, as the read would call back into it.
    dashboard.reset();
    keychain.reset();
}
