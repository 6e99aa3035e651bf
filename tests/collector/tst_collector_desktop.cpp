#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"
#include "XWindows.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <csignal>
#include <memory>

namespace {

// A tick is 3 s; a relaunch can wait out the 10 s back-off plus one tick, on a busy machine.
constexpr int tickMs = 3'000;
constexpr int relaunchMs = 20'000;

QByteArrayList linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray content = file.readAll().trimmed();
    return content.isEmpty() ? QByteArrayList() : content.split('\n');
}

bool waitForLines(const QString &path, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return linesOf(path).size() >= count; }, timeoutMs);
}

// Gone, or ended and not yet reaped by the app (which does not look while paused).
bool hasEnded(const QByteArray &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}

// Processes running the collector script at `script`, by their command lines.
QStringList processesRunning(const QString &script)
{
    QStringList pids;
    for (const QString &pid :
        QDir(QStringLiteral("/proc")).entryList({ QStringLiteral("[0-9]*") }, QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly)
            && cmdline.readAll().split('\0').contains(QFile::encodeName(script)))
            pids << pid;
    }
    return pids;
}

} // namespace

// The agent with a real Node.js collector, driven through its tray menu.
class CollectorDesktopTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void statusLineFollowsTheCollector();
    void pauseStopsTheCollectorAndResumeRelaunchesIt();
    void quitTerminatesTheCollector();
    void showLogsOpensTheErrorLog();
    void terminationDuringAnAlertLaunchesNothing();

private:
    bool launch(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        const QJsonObject &changes = {});
    QString inRoot(const QString &name) const { return app->rootPath() + QLatin1Char('/') + name; }

    std::unique_ptr<FakeStatusNotifierWatcher> watcher;
    std::unique_ptr<AppUnderTest> app;
    std::optional<TrayItem> item;
};

void CollectorDesktopTest::init()
{
    watcher = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY2(watcher->isRegistered(), qPrintable(watcher->errorString()));
    app = std::make_unique<AppUnderTest>();
    QVERIFY2(app->isValid(), qPrintable(app->errorString()));
    QVERIFY(QDir().mkpath(inRoot(QStringLiteral(".data"))));
    QVERIFY(QFile::copy(QStringLiteral(ORLINDE_TEST_DATA "/stand-ins/collector.mjs"),
        inRoot(QStringLiteral("collector.mjs"))));
}

void CollectorDesktopTest::cleanup()
{
    item.reset();
    app.reset();
    watcher.reset();
}

bool CollectorDesktopTest::launch(const QProcessEnvironment &environment, const QJsonObject &changes)
{
    QJsonObject settings = typicalSettings(*app);
    for (auto change = changes.begin(); change != changes.end(); ++change)
        settings[change.key()] = change.value();
    QString error;
    item = launchIntoTray(*app, *watcher, settings, &error, environment);
    if (!item) {
        qWarning() << error;
        return false;
    }
    return waitForLines(inRoot(QStringLiteral("launches")), 1, timeouts::launchMs);
}

void CollectorDesktopTest::statusLineFollowsTheCollector()
{
    QVERIFY(launch());
    QVERIFY2(item->waitForLabel(QStringLiteral("Starting collector…"), 0), qPrintable(item->errorString()));

    QVERIFY(QFile(inRoot(QStringLiteral("connect"))).open(QIODevice::WriteOnly));
    QVERIFY2(item->waitForLabel(QStringLiteral("Connected to dashboard"), tickMs + timeouts::launchMs),
        qPrintable(item->errorString()));

    // With its script gone the collector cannot come back, whatever the back-off says.
    QVERIFY(
        QFile::rename(inRoot(QStringLiteral("collector.mjs")), inRoot(QStringLiteral("collector.hidden"))));
    const QByteArray first = linesOf(inRoot(QStringLiteral("launches"))).value(0);
    QCOMPARE(::kill(first.toInt(), SIGKILL), 0);
    QVERIFY2(item->waitForLabel(QStringLiteral("Collector restarting…"), relaunchMs),
        qPrintable(item->errorString()));

    QVERIFY(
        QFile::rename(inRoot(QStringLiteral("collector.hidden")), inRoot(QStringLiteral("collector.mjs"))));
    QVERIFY(waitForLines(inRoot(QStringLiteral("launches")), 2, relaunchMs));
    QVERIFY2(item->waitForLabel(QStringLiteral("Connected to dashboard"), tickMs + timeouts::launchMs),
        qPrintable(item->errorString()));
}

void CollectorDesktopTest::pauseStopsTheCollectorAndResumeRelaunchesIt()
{
    QVERIFY(launch());
    const QByteArray first = linesOf(inRoot(QStringLiteral("launches"))).value(0);

    QVERIFY2(item->click(QStringLiteral("Pause reporting")), qPrintable(item->errorString()));
    QVERIFY2(item->waitForLabel(QStringLiteral("Reporting paused"), timeouts::launchMs),
        qPrintable(item->errorString()));
    QVERIFY(waitForLines(inRoot(QStringLiteral("signals")), 1, timeouts::exitMs));
    QCOMPARE(linesOf(inRoot(QStringLiteral("signals"))).value(0), first);
    QVERIFY(QTest::qWaitFor([&] { return hasEnded(first); }, timeouts::exitMs));

    QTest::qWait(tickMs + 500);
    QCOMPARE(linesOf(inRoot(QStringLiteral("launches"))).size(), 1);
    QVERIFY2(item->waitForLabel(QStringLiteral("Reporting paused"), 0), qPrintable(item->errorString()));

    QVERIFY2(item->click(QStringLiteral("Resume reporting")), qPrintable(item->errorString()));
    QVERIFY(waitForLines(inRoot(QStringLiteral("launches")), 2, timeouts::launchMs));
    QVERIFY2(item->waitForLabel(QStringLiteral("Pause reporting"), 0), qPrintable(item->errorString()));
}

void CollectorDesktopTest::quitTerminatesTheCollector()
{
    QVERIFY(launch());
    const QByteArray collector = linesOf(inRoot(QStringLiteral("launches"))).value(0);

    // The app may be gone before its reply to the click is sent, so only the exit counts.
    item->click(QStringLiteral("Quit for this session"));
    QCOMPARE(describe(app->waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    QVERIFY(waitForLines(inRoot(QStringLiteral("signals")), 1, timeouts::exitMs));
    for (const QByteArray &requested : linesOf(inRoot(QStringLiteral("signals"))))
        QCOMPARE(requested, collector);
}

void CollectorDesktopTest::showLogsOpensTheErrorLog()
{
    QTemporaryDir opener;
    const QString opened = opener.filePath(QStringLiteral("opened"));
    QFile script(opener.filePath(QStringLiteral("xdg-open")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >>\"" + QFile::encodeName(opened) + "\"\n");
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    script.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), opener.path() + QLatin1Char(':') + environment.value("PATH"));
    QVERIFY(launch(environment));

    QVERIFY2(item->click(QStringLiteral("Show logs")), qPrintable(item->errorString()));
    QVERIFY(waitForLines(opened, 1, timeouts::launchMs));
    QCOMPARE(linesOf(opened),
        QByteArrayList({ QUrl::fromLocalFile(inRoot(QStringLiteral(".data/app-error.log"))).toEncoded() }));
}

// Once the app is ending (here: SIGTERM while an alert runs its own loop, with the
// collector dead and its back-off over), nothing launches a collector again, whatever
// code runs when that loop returns.
void CollectorDesktopTest::terminationDuringAnAlertLaunchesNothing()
{
    QFile blocker(inRoot(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QVERIFY(launch(QProcessEnvironment::systemEnvironment(),
        { { QStringLiteral("launchAgent"), inRoot(QStringLiteral("blocker/agent.plist")) } }));
    const QByteArray first = linesOf(inRoot(QStringLiteral("launches"))).value(0);
    // The back-off of that launch runs 10 s.
    QTest::qWait(10'500);

    QVERIFY2(item->click(QStringLiteral("Start at login")), qPrintable(item->errorString()));
    QVERIFY2(xwindows::waitForWindowOf(app->pid(), timeouts::launchMs), "expected the alert, got no window");
    QCOMPARE(::kill(first.toInt(), SIGKILL), 0);
    QVERIFY(QTest::qWaitFor([&] { return hasEnded(first); }, timeouts::exitMs));
    QVERIFY(app->sendSignal(SIGTERM));
    QCOMPARE(describe(app->waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    QCOMPARE(processesRunning(inRoot(QStringLiteral("collector.mjs"))), QStringList());
}

QTEST_MAIN(CollectorDesktopTest)
#include "tst_collector_desktop.moc"
