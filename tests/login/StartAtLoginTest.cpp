#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"
#include "XWindows.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <atomic>
#include <csignal>
#include <memory>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace {

// Sends SIGKILL to `pid` from a thread of its own the moment the `occurrence`th `event`
// happens in `directory`, so that the kill lands inside the app's file operations.
class KillOnFileEvent final
{
public:
    KillOnFileEvent(const QString &directory, uint32_t event, int occurrence, qint64 pid)
        : descriptor(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    {
        watching = descriptor >= 0
            && ::inotify_add_watch(descriptor, QFile::encodeName(directory).constData(), event) >= 0;
        if (watching)
            thread = std::thread([this, occurrence, pid] { killAt(occurrence, static_cast<pid_t>(pid)); });
    }
    ~KillOnFileEvent()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
        if (descriptor >= 0)
            ::close(descriptor);
    }
    KillOnFileEvent(const KillOnFileEvent &) = delete;
    KillOnFileEvent &operator=(const KillOnFileEvent &) = delete;

    bool isWatching() const { return watching; }

private:
    void killAt(int occurrence, pid_t pid)
    {
        alignas(inotify_event) char buffer[4096];
        for (int seen = 0; !stopping;) {
            pollfd ready = { descriptor, POLLIN, 0 };
            if (::poll(&ready, 1, 20) <= 0)
                continue;
            const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
            for (ssize_t at = 0; at < length; ++seen) {
                at += static_cast<ssize_t>(
                    sizeof(inotify_event) + reinterpret_cast<const inotify_event *>(buffer + at)->len);
                if (seen + 1 == occurrence) {
                    ::kill(pid, SIGKILL);
                    return;
                }
            }
        }
    }

    const int descriptor;
    bool watching = false;
    std::atomic<bool> stopping = false;
    std::thread thread;
};

// Runs a helper that checks as it goes, and ends the test when one of its checks failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList entriesOf(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QJsonObject expectedAgent(const QString &label, const QString &appExecutable, const QString &dataDirectory)
{
    return {
        { QStringLiteral("Label"), label },
        { QStringLiteral("ProgramArguments"), QJsonArray { appExecutable } },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("KeepAlive"), QJsonObject { { QStringLiteral("SuccessfulExit"), false } } },
        { QStringLiteral("ThrottleInterval"), 15 },
        { QStringLiteral("StandardOutPath"), dataDirectory + QStringLiteral("/launcher.log") },
        { QStringLiteral("StandardErrorPath"), dataDirectory + QStringLiteral("/launcher-error.log") },
    };
}

// The agent as launchd's peers read it: through an XML parser that is not the one that
// wrote it (plistlib, expat underneath, strict about well-formed XML). Integers must stay
// integers, which JSON alone would not tell.
void verifyAgent(const QString &path, const QJsonObject &expected)
{
    static const QString script
        = QStringLiteral("import json, plistlib, sys\n"
                         "value = plistlib.load(open(sys.argv[1], 'rb'), fmt=plistlib.FMT_XML)\n"
                         "assert type(value['ThrottleInterval']) is int\n"
                         "print(json.dumps(value))\n");
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), script, path });
    QVERIFY(python.waitForFinished(30'000));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    QCOMPARE(QJsonDocument::fromJson(python.readAllStandardOutput()).object(), expected);
}

} // namespace

// "Start at login" in the real app, clicked in its tray menu the way a tray host does:
// the agent file it writes or removes, and what the check mark and alerts then show.
class StartAtLoginTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void onThenOff_data();
    void onThenOff();
    void whatStandsAtThePath_data();
    void whatStandsAtThePath();
    void killedWhileTogglingLeavesNoPartialAgent();

private:
    // Launches the app with the agent at `launchAgent` (relative to its root) and the
    // other settings changed as `changes` says.
    void launch(const QString &launchAgent, const QJsonObject &changes = {});
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
}

void StartAtLoginTest::cleanup()
{
    item.reset();
    app.reset();
    watcher.reset();
}

void StartAtLoginTest::launch(const QString &launchAgent, const QJsonObject &changes)
{
    QJsonObject settings = typicalSettings(*app);
    agentPath = app->rootPath() + QLatin1Char('/') + launchAgent;
    settings[QStringLiteral("launchAgent")] = agentPath;
    for (auto change = changes.begin(); change != changes.end(); ++change)
        settings[change.key()] = change.value();
    QVERIFY(QDir().mkpath(settings[QStringLiteral("root")].toString() + QStringLiteral("/.data")));
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

void StartAtLoginTest::onThenOff_data()
{
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("rootFolder"); // empty for the app's own root

    QTest::newRow("appId absent") << QJsonObject() << "com.tovrex.orlinde.app" << QString();
    QTest::newRow("appId empty") << QJsonObject { { "appId", "" } } << "" << QString();
    // Markup, blanks, percent, non-ASCII, and the tab and line feed that XML keeps.
    QTest::newRow("awkward characters") << QJsonObject { { "appId", "a&b<c>\"d'e\té☃" },
        { "appExecutable", "/opt/R&D <x>/\"q\" 'a'/Orlindé\n✓" } }
                                        << "a&b<c>\"d'e\té☃"
                                        << "R&D <root> \"x\" 100% #1 ?x=y Données 日本";
}

void StartAtLoginTest::onThenOff()
{
    QFETCH(QJsonObject, changes);
    QFETCH(QString, label);
    QFETCH(QString, rootFolder);
    if (!rootFolder.isEmpty())
        changes[QStringLiteral("root")] = app->rootPath() + QLatin1Char('/') + rootFolder;
    const QString root = changes.value(QStringLiteral("root")).toString(app->rootPath());
    const QString executable = changes.value(QStringLiteral("appExecutable")).toString(app->executablePath());
    // Neither folder above the agent exists yet.
    STEP(launch(QStringLiteral("Library/Launch Agents/agent.plist"), changes));
    STEP(waitForCheckMark(0));

    QVERIFY(item->click(QStringLiteral("Start at login")));
    STEP(waitForCheckMark(1));
    STEP(verifyAgent(agentPath, expectedAgent(label, executable, root + QStringLiteral("/.data"))));

    QVERIFY(item->click(QStringLiteral("Start at login")));
    STEP(waitForCheckMark(0));
    QCOMPARE(entriesOf(QFileInfo(agentPath).path()), QStringList());
}

void StartAtLoginTest::whatStandsAtThePath_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("alert");
    QTest::addColumn<int>("checkedAfter");

    QTest::newRow("a file the app did not write is removed") << "foreign file" << false << 0;
    QTest::newRow("a folder survives with its contents") << "folder" << true << 1;
    QTest::newRow("a link to a folder is removed, the folder kept") << "link to folder" << false << 0;
    QTest::newRow("a plain file where the folder should be") << "file as parent" << true << 0;
    // XML cannot carry this character; writing it raw would make a file no reader takes.
    QTest::newRow("U+0001 in appId") << "U+0001 in appId" << true << 0;
}

void StartAtLoginTest::whatStandsAtThePath()
{
    QFETCH(QString, before);
    QFETCH(bool, alert);
    QFETCH(int, checkedAfter);

    const QString root = app->rootPath();
    const QString kept = root + QStringLiteral("/kept");
    QString launchAgent = QStringLiteral("LaunchAgents/agent.plist");
    const QString path = root + QLatin1Char('/') + launchAgent;
    if (before == QLatin1String("foreign file")) {
        QVERIFY(writeFile(path, "<plist>someone else's</plist>"));
    } else if (before == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(writeFile(path + QStringLiteral("/keep.txt"), "precious"));
    } else if (before == QLatin1String("link to folder")) {
        QVERIFY(QDir().mkpath(kept));
        QVERIFY(writeFile(kept + QStringLiteral("/keep.txt"), "precious"));
        QVERIFY(QFile::link(kept, path));
    } else if (before == QLatin1String("file as parent")) {
        QVERIFY(writeFile(root + QStringLiteral("/blocker"), "a file"));
        launchAgent = QStringLiteral("blocker/agent.plist");
    }
    const int checkedBefore = QFileInfo::exists(path) ? 1 : 0;
    STEP(launch(launchAgent,
        before == QLatin1String("U+0001 in appId") ? QJsonObject { { "appId", "a\u0001" } } : QJsonObject()));
    STEP(waitForCheckMark(checkedBefore));

    QVERIFY(item->click(QStringLiteral("Start at login")));
    if (alert)
        STEP(dismissAlert());
    STEP(waitForCheckMark(checkedAfter));
    QVERIFY(xwindows::visibleWindowsOf(app->pid()).isEmpty());

    if (before == QLatin1String("folder"))
        QCOMPARE(entriesOf(agentPath), QStringList { QStringLiteral("keep.txt") });
    else
        QVERIFY(!QFileInfo::exists(agentPath) && !QFileInfo(agentPath).isSymLink());
    if (before == QLatin1String("link to folder"))
        QCOMPARE(entriesOf(kept), QStringList { QStringLiteral("keep.txt") });
    if (before == QLatin1String("file as parent"))
        QVERIFY(QFileInfo(root + QStringLiteral("/blocker")).isFile());
    else if (before != QLatin1String("folder"))
        QCOMPARE(entriesOf(root + QStringLiteral("/LaunchAgents")), QStringList());
}

void StartAtLoginTest::killedWhileTogglingLeavesNoPartialAgent()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("kill points from seed %u", seed);
    QRandomGenerator random(seed);
    const uint32_t points[] = { IN_CREATE, IN_MODIFY, IN_CLOSE_WRITE, IN_MOVED_TO, IN_DELETE };
    for (int round = 0; round < 10; ++round) {
        cleanup();
        STEP(init());
        STEP(launch(QStringLiteral("LaunchAgents/agent.plist")));
        const uint32_t event = points[random.bounded(static_cast<quint32>(std::size(points)))];
        const int occurrence = static_cast<int>(random.bounded(1, 4));
        const KillOnFileEvent killer(QFileInfo(agentPath).path(), event, occurrence, app->pid());
        QVERIFY2(killer.isWatching(), "inotify is not available");
        for (int clicks = 0; clicks < 20 && app->isRunning(); ++clicks)
            item->click(QStringLiteral("Start at login"));
        if (app->isRunning())
            app->sendSignal(SIGKILL);
        QVERIFY(app->waitForExit(timeouts::exitMs));
        // A temporary file may be left beside the agent; the agent itself is whole or absent.
        if (QFileInfo::exists(agentPath))
            STEP(verifyAgent(agentPath,
                expectedAgent(QStringLiteral("com.tovrex.orlinde.app"), app->executablePath(),
                    app->rootPath() + QStringLiteral("/.data"))));
    }
}

QTEST_MAIN(StartAtLoginTest)
#include "StartAtLoginTest.moc"
