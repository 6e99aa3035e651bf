#include "FakeStatusNotifierWatcher.h"
#include "LoginStartInstaller.h"
#include "TrayItem.h"
#include "UnitFile.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

// "Start at login" with a real systemd user manager, which tests/login/systemd-user-session.sh
// provides, and the built app in an installation of its own. The cases run in order, as
// one user's logins.

namespace {

const QString label = QStringLiteral("com.tovrex.orlinde-e2e");
const QString unit = QStringLiteral("com.tovrex.orlinde\\x2de2e.service");
// Bounds, generous for a loaded machine; the restart comes 15 s after an abnormal end.
constexpr int startMs = 30'000;
constexpr int restartMs = 45'000;

struct Finished
{
    int exitCode = -1;
    QString output;
    QString errors;
    qint64 elapsedMs = 0;
};

Finished run(const QString &program, const QStringList &arguments)
{
    QElapsedTimer clock;
    clock.start();
    QProcess process;
    process.start(program, arguments);
    const bool ended = process.waitForFinished(60'000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()).trimmed(),
        QString::fromUtf8(process.readAllStandardError()).trimmed(), clock.elapsed() };
}

// A process we waited on while serving events may have been seen to end already, and
// QProcess::waitForFinished() calls that a failure.
bool hasEnded(QProcess &process, int timeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

QString systemctl(const QStringList &arguments)
{
    return run(QStringLiteral("systemctl"), QStringList { QStringLiteral("--user") } + arguments).output;
}

QString unitProperty(const char *name)
{
    return systemctl({ QStringLiteral("show"), QStringLiteral("--value"),
        QStringLiteral("--property=") + QLatin1String(name), unit });
}

qint64 mainPid()
{
    return unitProperty("MainPID").toLongLong();
}

// Once no job is queued, what a session start or stop set in motion has happened.
bool settled()
{
    return QTest::qWaitFor(
        [] { return systemctl({ QStringLiteral("list-jobs") }).startsWith("No jobs"); }, startMs);
}

bool session(const char *verb)
{
    return run(QStringLiteral("systemctl"),
               { QStringLiteral("--user"), QString::fromLatin1(verb),
                   qEnvironmentVariable("ORLINDE_SESSION_TARGET") })
               .exitCode
        == 0
        && settled();
}

int lineCount(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? static_cast<int>(file.readAll().count('\n')) : 0;
}

} // namespace

class LoginSessionTest final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void menuSwitchAloneEnablesTheUnit();
    void sessionStartStartsTheApp();
    void autostartLeavesTheSessionToTheUnit();
    void killedAppIsStartedAgainAfter15Seconds();
    void quitAppStaysQuit();
    void sessionWithoutPropertyListStartsNothing();
    void desktopWithoutSystemdSessionStartsTheAppFromAutostart();
    void unusableProgramIsNotRetried_data();
    void unusableProgramIsNotRetried();
    void checkNoticesAnOutdatedInstallation_data();
    void checkNoticesAnOutdatedInstallation();
    void stoppedManagerCostsSecondsNotMinutes();
    void uninstallLeavesNothingBehind();

private:
    bool writeAgent(const QString &program);
    Finished companion(const char *command) const
    {
        return run(companionPath, { QString::fromLatin1(command), plist });
    }
    int launches() const { return lineCount(root + QStringLiteral("/launches")); }

    QString app;
    QString companionPath;
    QString root;
    QString plist;
    QString configHome;
};

void LoginSessionTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("ORLINDE_SESSION_TARGET"))
        QSKIP("needs the systemd user manager of tests/login/systemd-user-session.sh");
    const QString bundle = QDir::homePath() + QStringLiteral("/Applications/Orlinde.app");
    QVERIFY(QDir().mkpath(QDir::homePath() + QStringLiteral("/Applications")));
    QCOMPARE(
        run(QStringLiteral("cp"), { QStringLiteral("-a"), QStringLiteral(ORLINDE_BUNDLE), bundle }).exitCode,
        0);
    app = bundle + QStringLiteral("/Contents/MacOS/Orlinde");
    companionPath = bundle + QStringLiteral("/Contents/MacOS/orlinde-login");
    root = QDir::homePath() + QStringLiteral("/orlinde");
    plist = root + QStringLiteral("/LaunchAgents/") + label + QStringLiteral(".plist");
    configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY(QDir().mkpath(root + QStringLiteral("/.data")) && QDir().mkpath(QFileInfo(plist).path()));
    QVERIFY(QFile::copy(QStringLiteral(ORLINDE_COLLECTOR), root + QStringLiteral("/collector.mjs")));
    const QByteArray settings
        = QStringLiteral(R"({ "node": "%1", "root": "%2", "hub": "http://127.0.0.1:9",
        "launchAgent": "%3", "appExecutable": "%4", "appId": "%5" })")
              .arg(QStandardPaths::findExecutable(QStringLiteral("node")), root, plist, app, label)
              .toUtf8();
    QFile file(bundle + QStringLiteral("/Contents/Resources/settings.json"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size());
}

// The property list the app's "Start at login" writes.
bool LoginSessionTest::writeAgent(const QString &program)
{
    const QVariantMap agent = {
        { QStringLiteral("Label"), label },
        { QStringLiteral("ProgramArguments"), QVariantList { program } },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("KeepAlive"), QVariantMap { { QStringLiteral("SuccessfulExit"), false } } },
        { QStringLiteral("ThrottleInterval"), 15 },
        { QStringLiteral("StandardOutPath"), root + QStringLiteral("/.data/launcher.log") },
        { QStringLiteral("StandardErrorPath"), root + QStringLiteral("/.data/launcher-error.log") },
    };
    QFile file(plist);
    const QByteArray data = platform::propertylist::xmlData(agent).value_or(QByteArray());
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// A person who never opens a terminal: the menu's switch alone sets the login start up.
void LoginSessionTest::menuSwitchAloneEnablesTheUnit()
{
    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    QProcess running;
    running.setProcessChannelMode(QProcess::ForwardedChannels);
    running.start(app, {});
    const std::optional<FakeStatusNotifierWatcher::Item> registered
        = watcher.waitForItemOf(running.processId(), startMs);
    QVERIFY2(registered, "the app showed no tray item");
    TrayItem item(registered->service, registered->path);
    QVERIFY2(item.click(QStringLiteral("Start at login")), qPrintable(item.errorString()));
    QVERIFY2(QTest::qWaitFor(
                 [] {
                     return systemctl({ QStringLiteral("is-enabled"), unit }) == QLatin1String("enabled");
                 },
                 startMs),
        qPrintable(systemctl({ QStringLiteral("is-enabled"), unit })));
    QVERIFY(QFileInfo::exists(plist));
    QVERIFY2(item.click(QStringLiteral("Quit for this session")), qPrintable(item.errorString()));
    QVERIFY(hasEnded(running, startMs));
    QCOMPARE(running.exitCode(), 0);
    // The logins below count the collector's launches from here on.
    QFile::remove(root + QStringLiteral("/launches"));

    const login::LoginStartCheck check = login::LoginStartInstaller(companionPath).check(plist);
    QVERIFY2(check.current, qPrintable(check.reason));
    // systemd's XDG autostart generator leaves the entry to the unit.
    const QString generated = systemctl({ QStringLiteral("list-unit-files"), QStringLiteral("--no-legend"),
        QStringLiteral("app-com.tovrex.orlinde*") });
    QVERIFY2(generated.isEmpty(), qPrintable(generated));
    const QString entry = configHome + QStringLiteral("/autostart/com.tovrex.orlinde-e2e.desktop");
    const Finished validated = run(QStringLiteral("desktop-file-validate"), { entry });
    QVERIFY2(validated.exitCode == 0 && validated.output.isEmpty(), qPrintable(validated.output));
}

void LoginSessionTest::sessionStartStartsTheApp()
{
    QVERIFY(session("start"));
    QVERIFY2(
        QTest::qWaitFor([&] { return launches() == 1; }, startMs), "the app did not launch its collector");
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(mainPid())), app);
}

void LoginSessionTest::autostartLeavesTheSessionToTheUnit()
{
    // What a desktop that runs autostart entries and starts graphical-session.target does.
    const qint64 before = mainPid();
    const Finished autostart = companion("run");
    QCOMPARE(autostart.exitCode, 0);
    QVERIFY2(
        autostart.errors.contains(QLatin1String("systemd user unit starts")), qPrintable(autostart.errors));
    QCOMPARE(mainPid(), before);
    QCOMPARE(launches(), 1);
}

void LoginSessionTest::killedAppIsStartedAgainAfter15Seconds()
{
    const qint64 killed = mainPid();
    QVERIFY(killed > 0);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(::kill(static_cast<pid_t>(killed), SIGKILL), 0);
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     const qint64 pid = mainPid();
                     return pid != 0 && pid != killed;
                 },
                 restartMs),
        "not started again");
    qInfo("started again %.1f s after kill -9", clock.elapsed() / 1000.0);
    QVERIFY2(clock.elapsed() >= 14'000, "started again before RestartSec");
    QVERIFY(QTest::qWaitFor([&] { return launches() == 2; }, startMs));
}

void LoginSessionTest::quitAppStaysQuit()
{
    const QString restarts = unitProperty("NRestarts");
    QCOMPARE(run(app, { QStringLiteral("--quit-existing") }).exitCode, 0);
    QVERIFY2(
        QTest::qWaitFor([] { return unitProperty("ActiveState") == QLatin1String("inactive"); }, startMs),
        qPrintable(unitProperty("ActiveState")));
    // A restart would show as a queued job and the "auto-restart" state in between.
    QVERIFY(settled());
    QCOMPARE(unitProperty("SubState"), QStringLiteral("dead"));
    QCOMPARE(unitProperty("Result"), QStringLiteral("success"));
    QCOMPARE(unitProperty("NRestarts"), restarts);
}

void LoginSessionTest::sessionWithoutPropertyListStartsNothing()
{
    QVERIFY(session("stop"));
    QVERIFY(QFile::remove(plist));
    QVERIFY(session("start"));
    QCOMPARE(unitProperty("ConditionResult"), QStringLiteral("no"));
    QCOMPARE(mainPid(), 0);
    // The autostart entry, run all the same by a desktop that ignores X-systemd-skip.
    const Finished autostart = companion("run");
    QCOMPARE(autostart.exitCode, 0);
    QCOMPARE(autostart.output + autostart.errors, QString());
    QCOMPARE(launches(), 2);
}

void LoginSessionTest::desktopWithoutSystemdSessionStartsTheAppFromAutostart()
{
    QVERIFY(session("stop"));
    QVERIFY(writeAgent(app));
    QProcess autostart;
    autostart.start(companionPath, { QStringLiteral("run"), plist });
    QVERIFY2(
        QTest::qWaitFor([&] { return launches() == 3; }, startMs), "the autostart entry started nothing");
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(autostart.processId())), app);
    QCOMPARE(run(app, { QStringLiteral("--quit-existing") }).exitCode, 0);
    QVERIFY(hasEnded(autostart, startMs));
    QCOMPARE(autostart.exitCode(), 0);
    QCOMPARE(mainPid(), 0);
}

void LoginSessionTest::unusableProgramIsNotRetried_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("moved away") << QStringLiteral("/nowhere/Orlinde") << QStringLiteral("No such file");
    QTest::newRow("not executable") << QStringLiteral(ORLINDE_COLLECTOR)
                                    << QStringLiteral("Permission denied");
}

void LoginSessionTest::unusableProgramIsNotRetried()
{
    QFETCH(QString, program);
    QFETCH(QString, mentions);
    QVERIFY(session("stop"));
    systemctl({ QStringLiteral("reset-failed"), unit });
    QVERIFY(writeAgent(program));
    QVERIFY(session("start"));
    QVERIFY2(QTest::qWaitFor([] { return unitProperty("SubState") == QLatin1String("failed"); }, startMs),
        qPrintable(unitProperty("SubState")));
    QCOMPARE(unitProperty("ExecMainStatus"), QStringLiteral("78"));
    QCOMPARE(unitProperty("NRestarts"), QStringLiteral("0"));
    QFile log(root + QStringLiteral("/.data/launcher-error.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString lastLine = QString::fromUtf8(log.readAll()).trimmed().split(QLatin1Char('\n')).last();
    QVERIFY2(lastLine.contains(program) && lastLine.contains(mentions), qPrintable(lastLine));
}

void LoginSessionTest::checkNoticesAnOutdatedInstallation_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unit runs a companion that moved") << "moved"
                                                      << "does not hold the unit";
    QTest::newRow("unit disabled") << "disable"
                                   << "is disabled";
    QTest::newRow("autostart entry removed") << "entry"
                                             << "does not hold the autostart entry";
}

void LoginSessionTest::checkNoticesAnOutdatedInstallation()
{
    QFETCH(QString, change);
    QFETCH(QString, reason);
    QVERIFY(writeAgent(app));
    login::LoginStartInstaller installer(companionPath);
    QCOMPARE(installer.install(plist).status, login::LoginStartOutcome::Status::done);
    if (change == QLatin1String("moved"))
        QCOMPARE(login::LoginStartInstaller(QStringLiteral("/old/place/orlinde-login")).install(plist).status,
            login::LoginStartOutcome::Status::done);
    else if (change == QLatin1String("disable"))
        systemctl({ QStringLiteral("disable"), unit });
    else
        QVERIFY(QFile::remove(configHome + QStringLiteral("/autostart/com.tovrex.orlinde-e2e.desktop")));

    const login::LoginStartCheck outdated = installer.check(plist);
    QVERIFY2(!outdated.current && outdated.reason.contains(reason), qPrintable(outdated.reason));
    QCOMPARE(installer.install(plist).status, login::LoginStartOutcome::Status::done);
    const login::LoginStartCheck repaired = installer.check(plist);
    QVERIFY2(repaired.current, qPrintable(repaired.reason));
}

void LoginSessionTest::stoppedManagerCostsSecondsNotMinutes()
{
    const auto manager = static_cast<pid_t>(qEnvironmentVariableIntValue("ORLINDE_MANAGER_PID"));
    QVERIFY(manager > 0);
    QCOMPARE(::kill(manager, SIGSTOP), 0);
    const Finished install = companion("install");
    ::kill(manager, SIGCONT);
    qInfo("install gave up on a stopped manager after %.1f s", install.elapsedMs / 1000.0);
    QCOMPARE(install.exitCode, 1);
    QVERIFY2(install.errors.contains(QLatin1String("did not answer")), qPrintable(install.errors));
    QVERIFY(install.elapsedMs < 10'000);
}

void LoginSessionTest::uninstallLeavesNothingBehind()
{
    QVERIFY(QFile::remove(plist)); // the switch is off: only the units name the file now
    const Finished uninstall = companion("uninstall");
    QVERIFY2(uninstall.exitCode == 0, qPrintable(uninstall.errors));
    QStringList left;
    for (const QString &folder : { QStringLiteral("/systemd/user"), QStringLiteral("/autostart") }) {
        QDirIterator entries(configHome + folder,
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
            QDirIterator::Subdirectories);
        while (entries.hasNext())
            left << entries.next();
    }
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
    QCOMPARE(unitProperty("LoadState"), QStringLiteral("not-found"));
}

QTEST_MAIN(LoginSessionTest)
#include "tst_login_session.moc"
