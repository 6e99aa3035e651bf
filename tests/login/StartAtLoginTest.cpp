#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"
#include "XWindows.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <memory>

// Runs a helper that checks as it goes, and ends the test when one of its checks failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

namespace {

// Where the desktop looks for what starts the agent at login, for this test's label.
QString unitPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME")
        + QStringLiteral("/systemd/user/com.tovrex.orlinde.app.service");
}

QString autostartPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME")
        + QStringLiteral("/autostart/com.tovrex.orlinde.app.desktop");
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// "Start at login" in the real app, clicked in its tray menu the way a tray host does:
// what the check mark and alerts show, and that the switch alone sets up the login start.
class StartAtLoginTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void checkMarkAndAlertFollowTheFile_data();
    void checkMarkAndAlertFollowTheFile();
    void movedInstallationIsRepairedAtLaunch();

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
    // The companion that the login start runs, beside the app as installed.
    const QString companion
        = QFileInfo(app->executablePath()).dir().filePath(QStringLiteral("orlinde-login"));
    QFile::remove(companion);
    QVERIFY(QFile::copy(
        QFileInfo(qEnvironmentVariable("ORLINDE_EXECUTABLE")).dir().filePath(QStringLiteral("orlinde-login")),
        companion));
    QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).removeRecursively();
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
    // No terminal step: the unit and the autostart entry are there, both naming the file.
    for (const QString &written : { unitPath(), autostartPath() })
        QVERIFY2(contentsOf(written).contains(QFile::encodeName(agentPath)), qPrintable(written));
    // Removed from outside, as a person or another tool may do: the mark follows.
    QVERIFY(QFile::remove(agentPath));
    STEP(waitForCheckMark(0));
}

// The agent file names a program that is gone (the installation was moved): the next
// launch points the file and the login start at the app as it is now, silently.
void StartAtLoginTest::movedInstallationIsRepairedAtLaunch()
{
    const QString launchAgent = QStringLiteral("LaunchAgents/agent.plist");
    QFile old(app->rootPath() + QLatin1Char('/') + launchAgent);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Label</key><string>com.tovrex.orlinde.app</string>"
              "<key>ProgramArguments</key><array><string>/moved/away/Orlinde</string></array>"
              "</dict></plist>\n");
    old.close();
    STEP(launch(launchAgent));
    STEP(waitForCheckMark(1));

    const QByteArray executable = QFile::encodeName(app->executablePath());
    QVERIFY2(QTest::qWaitFor([&] { return contentsOf(agentPath).contains(executable); }, timeouts::launchMs),
        contentsOf(agentPath).constData());
    QVERIFY2(QTest::qWaitFor([&] { return contentsOf(unitPath()).contains(QFile::encodeName(agentPath)); },
                 timeouts::launchMs),
        "no unit was written");
    QVERIFY(xwindows::visibleWindowsOf(app->pid()).isEmpty());
}

QTEST_MAIN(StartAtLoginTest)
#include "StartAtLoginTest.moc"
