#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"
#include "XWindows.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <memory>

// Runs a helper that checks as it goes, and ends the test when one of its checks failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

// "Start at login" in the real app, clicked in its tray menu the way a tray host does:
// what the check mark and alerts show.
class StartAtLoginTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void checkMarkAndAlertFollowTheFile_data();
    void checkMarkAndAlertFollowTheFile();

private:
    // Launches the app with the agent at `launchAgent`, relative to its root.
    void launch(const QString &launchAgent);
    void waitForCheckMark(int expected);
    void dismissAlert();

    std::unique_ptr<FakeStatusNotifierWatcher> watcher;
    std::unique_ptr<AppUnderTest> app;
    std::optional<TrayItem> item;
    QString agentPath;
};

void StartAtLoginTest::init()
{
    watcher = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY2(watcher->isRegistered(), qPrintable(watcher->errorString()));
    app = std::make_unique<AppUnderTest>();
    QVERIFY2(app->isValid(), qPrintable(app->errorString()));
    QVERIFY(QDir().mkpath(app->rootPath() + QStringLiteral("/LaunchAgents")));
    QVERIFY(QDir().mkpath(app->rootPath() + QStringLiteral("/.data")));
}

void StartAtLoginTest::cleanup()
{
    item.reset();
    app.reset();
    watcher.reset();
}

void StartAtLoginTest::launch(const QString &launchAgent)
{
    QJsonObject settings = typicalSettings(*app);
    agentPath = app->rootPath() + QLatin1Char('/') + launchAgent;
    settings[QStringLiteral("launchAgent")] = agentPath;
    QString error;
    item = launchIntoTray(*app, *watcher, settings, &error);
    QVERIFY2(item, qPrintable(error));
}

void StartAtLoginTest::waitForCheckMark(int expected)
{
    int shown = -2;
    const bool reached = QTest::qWaitFor(
        [&] {
            const std::optional<MenuEntry> menu = item->menu();
            const MenuEntry *entry = menu ? menu->find(QStringLiteral("Start at login")) : nullptr;
            shown = entry ? entry->toggleState : -2;
            return shown == expected;
        },
        timeouts::launchMs);
    QVERIFY2(reached, qPrintable(QStringLiteral("expected check mark %1, got %2").arg(expected).arg(shown)));
}

void StartAtLoginTest::dismissAlert()
{
    const std::optional<QString> window = xwindows::waitForWindowOf(app->pid(), timeouts::launchMs);
    QVERIFY2(window, "expected the alert window, got none");
    QString error;
    QVERIFY2(xwindows::pressKey(*window, QStringLiteral("Return"), &error), qPrintable(error));
    QVERIFY2(
        QTest::qWaitFor([&] { return xwindows::visibleWindowsOf(app->pid()).isEmpty(); }, timeouts::exitMs),
        "the alert stayed after Return");
}

// What a click does to the file is StartAtLogin's own test; here, that the menu shows it.
void StartAtLoginTest::checkMarkAndAlertFollowTheFile_data()
{
    QTest::addColumn<bool>("folderInTheWay");
    QTest::newRow("on, then off") << false;
    QTest::newRow("a folder at the path: alert, stays on") << true;
}

void StartAtLoginTest::checkMarkAndAlertFollowTheFile()
{
    QFETCH(bool, folderInTheWay);
    const QString launchAgent = QStringLiteral("LaunchAgents/agent.plist");
    if (folderInTheWay)
        QVERIFY(QDir().mkpath(app->rootPath() + QLatin1Char('/') + launchAgent));
    STEP(launch(launchAgent));
    STEP(waitForCheckMark(folderInTheWay ? 1 : 0));

    QVERIFY(item->click(QStringLiteral("Start at login")));
    if (folderInTheWay) {
        STEP(dismissAlert());
        STEP(waitForCheckMark(1));
        return;
    }
    STEP(waitForCheckMark(1));
    QVERIFY(QFileInfo(agentPath).isFile());
    // Removed from outside, as a person or another tool may do: the mark follows.
    QVERIFY(QFile::remove(agentPath));
    STEP(waitForCheckMark(0));
}

QTEST_MAIN(StartAtLoginTest)
#include "StartAtLoginTest.moc"
