#include "CollectorTestSupport.h"

#include <QtTest>
#include <csignal>

using LaunchOutcome = CollectorSupervisor::LaunchOutcome;
Q_DECLARE_METATYPE(LaunchOutcome)

// Back-off, restart, pause and resume, stepped through on manual clocks with real children.
class SupervisionTest : public QObject
{
    Q_OBJECT
private slots:
    void launchAttemptsAreTenSecondsApart_data();
    void launchAttemptsAreTenSecondsApart();
    void collectorThatExitsAtOnceIsRelaunchedEveryFourthTick_data();
    void collectorThatExitsAtOnceIsRelaunchedEveryFourthTick();
    void restartReplacesTheBackOffWithSixSeconds_data();
    void restartReplacesTheBackOffWithSixSeconds();
    void pauseStopsTheCollectorAndResumeRelaunchesAtOnce();
    void collectorSlowToEndIsAskedAgainAndNeverJoinedByASecond();
    void collectorLeftByAnEarlierAgentEndsBeforeTheNextLaunch();
};

void SupervisionTest::launchAttemptsAreTenSecondsApart_data()
{
    QTest::addColumn<QString>("node");
    QTest::addColumn<double>("delay");
    QTest::addColumn<LaunchOutcome>("outcome");
    QTest::newRow("launching, 9.999 s later") << "/bin/sh" << 9.999 << LaunchOutcome::declined;
    QTest::newRow("launching, exactly 10 s later") << "/bin/sh" << 10.0 << LaunchOutcome::launched;
    QTest::newRow("failing, 9.999 s later") << "/nonexistent/node" << 9.999 << LaunchOutcome::declined;
    QTest::newRow("failing, exactly 10 s later") << "/nonexistent/node" << 10.0 << LaunchOutcome::failed;
}

void SupervisionTest::launchAttemptsAreTenSecondsApart()
{
    QFETCH(QString, node);
    QFETCH(double, delay);
    QFETCH(LaunchOutcome, outcome);
    Installation installation(QStringLiteral("count.sh"), node);
    Supervision supervision(installation.settings);
    QVERIFY(supervision.waitUntilExited());
    const pid_t first = supervision.pid();

    supervision.monotonic.advance(delay);
    QCOMPARE(supervision.supervisor.start(), outcome);
    QCOMPARE(supervision.pid() != first, outcome == LaunchOutcome::launched);
    // A declined call leaves the back-off where it was; an attempt starts a new one.
    supervision.monotonic.advance(10.0 - delay);
    QVERIFY(supervision.waitUntilExited());
    QCOMPARE(supervision.supervisor.start() == LaunchOutcome::declined, outcome != LaunchOutcome::declined);
}

void SupervisionTest::collectorThatExitsAtOnceIsRelaunchedEveryFourthTick_data()
{
    QTest::addColumn<double>("wallClockStep");
    QTest::newRow("steady clocks") << 0.0;
    // A clock correction after boot or a restored virtual machine moves the wall clock only.
    QTest::newRow("wall clock an hour back") << -3600.0;
    QTest::newRow("wall clock an hour ahead") << 3600.0;
}

void SupervisionTest::collectorThatExitsAtOnceIsRelaunchedEveryFourthTick()
{
    QFETCH(double, wallClockStep);
    Installation installation(QStringLiteral("count.sh"));
    Supervision supervision(installation.settings);
    supervision.wall.advance(wallClockStep);
    QList<int> launchedAtSeconds;
    for (int second = 3; second <= 60; second += 3) {
        QVERIFY(supervision.waitUntilExited());
        const pid_t before = supervision.pid();
        supervision.tick();
        if (supervision.pid() != before)
            launchedAtSeconds << second;
        else
            QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Collector restarting…"));
    }
    QCOMPARE(launchedAtSeconds, QList<int>({ 12, 24, 36, 48, 60 }));
}

void SupervisionTest::restartReplacesTheBackOffWithSixSeconds_data()
{
    QTest::addColumn<bool>("pausedFirst");
    QTest::newRow("while running") << false;
    QTest::newRow("while paused") << true;
}

// Two seconds after a launch, whose own back-off would hold until 10 s.
void SupervisionTest::restartReplacesTheBackOffWithSixSeconds()
{
    QFETCH(bool, pausedFirst);
    Installation installation(QStringLiteral("linger.sh"));
    Supervision supervision(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = supervision.pid();
    if (pausedFirst) {
        supervision.supervisor.pause();
        QVERIFY(supervision.waitUntilExited());
    }

    supervision.monotonic.advance(2.0);
    supervision.supervisor.restart();
    QVERIFY(!supervision.supervisor.isPaused());
    QVERIFY(supervision.waitUntilExited());
    QCOMPARE(
        linesOf(installation.path(QStringLiteral("signals"))), QByteArrayList({ QByteArray::number(first) }));

    supervision.tick(5.999);
    QCOMPARE(supervision.pid(), first);
    QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Collector restarting…"));
    supervision.tick(0.001);
    QVERIFY(supervision.pid() != first);
}

void SupervisionTest::pauseStopsTheCollectorAndResumeRelaunchesAtOnce()
{
    Installation installation(QStringLiteral("linger.sh"));
    Supervision supervision(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = supervision.pid();

    supervision.monotonic.advance(1.0);
    supervision.supervisor.pause();
    QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Reporting paused"));
    QVERIFY(supervision.waitUntilExited());
    QCOMPARE(
        linesOf(installation.path(QStringLiteral("signals"))), QByteArrayList({ QByteArray::number(first) }));
    // Past the launch's back-off: only the pause holds the collector back.
    for (int tick = 0; tick < 4; ++tick)
        supervision.tick();
    QCOMPARE(supervision.pid(), first);
    QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Reporting paused"));

    QCOMPARE(supervision.supervisor.resume(), LaunchOutcome::launched);
    QVERIFY(supervision.pid() != first);
    QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Starting collector…"));
}

// Quitting pauses and then, at termination, stops once more: a collector still running
// then gets a second request, one that has ended gets none. Until it has ended, nothing
// launches beside it, and then nothing holds the next launch back.
void SupervisionTest::collectorSlowToEndIsAskedAgainAndNeverJoinedByASecond()
{
    Installation installation(QStringLiteral("linger.sh"));
    const QString terminationRequests = installation.path(QStringLiteral("signals"));
    QVERIFY(writeFile(installation.path(QStringLiteral("hold")), ""));
    Supervision supervision(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = supervision.pid();

    supervision.supervisor.pause();
    QVERIFY(waitForLines(terminationRequests, 1));
    supervision.supervisor.stop();
    QVERIFY(waitForLines(terminationRequests, 2));
    QCOMPARE(supervision.supervisor.resume(), LaunchOutcome::declined);
    QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Starting collector…"));

    QVERIFY(QFile::remove(installation.path(QStringLiteral("hold"))));
    QVERIFY(supervision.waitUntilExited());
    supervision.supervisor.stop();
    supervision.tick(0.0);
    QVERIFY(supervision.pid() != first);
    QCOMPARE(linesOf(terminationRequests).size(), 2);
}

// An agent killed outright leaves its collector running; the next agent of the
// installation asks it to end, makes it end after a back-off, and only then launches.
void SupervisionTest::collectorLeftByAnEarlierAgentEndsBeforeTheNextLaunch()
{
    Installation installation(QStringLiteral("linger.sh"));
    QVERIFY(writeFile(installation.path(QStringLiteral("hold")), ""));
    Supervision killed(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t leftover = killed.pid();

    Supervision next(installation.settings);
    QCOMPARE(next.pid(), 0);
    QVERIFY(waitForLines(installation.path(QStringLiteral("signals")), 1));
    next.tick(9.999);
    QCOMPARE(next.pid(), 0);
    next.tick(0.001);
    QVERIFY(killed.waitUntilExited());
    QCOMPARE(::kill(leftover, 0), -1);
    next.tick();
    QVERIFY(next.pid() != 0);
}

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
