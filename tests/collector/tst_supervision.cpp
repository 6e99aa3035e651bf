#include "CollectorTestSupport.h"

#include <QAction>
#include <QFile>
#include <QtTest>

// Back-off, restart, pause and quit, stepped through on a manual clock with real children.
class SupervisionTest : public QObject
{
    Q_OBJECT
private slots:
    void launchAttemptsAreTenSecondsApart_data();
    void launchAttemptsAreTenSecondsApart();
    void collectorThatExitsAtOnceIsRelaunchedEveryFourthTick();
    void restartReplacesTheBackOffWithSixSeconds_data();
    void restartReplacesTheBackOffWithSixSeconds();
    void pauseStopsTheCollectorAndResumeRelaunchesAtOnce();
    void resumeBeforeTheOldCollectorHasExited();
    void quitAsksTheCollectorToTerminateWhileItRuns_data();
    void quitAsksTheCollectorToTerminateWhileItRuns();
};

void SupervisionTest::launchAttemptsAreTenSecondsApart_data()
{
    QTest::addColumn<QString>("node");
    QTest::addColumn<double>("delay");
    QTest::addColumn<bool>("attempted");
    for (const QString &node : { QStringLiteral("/bin/sh"), QStringLiteral("/nonexistent/node") }) {
        const char *kind = node == QLatin1String("/bin/sh") ? "launching" : "failing";
        QTest::addRow("%s, 9.999 s later", kind) << node << 9.999 << false;
        QTest::addRow("%s, exactly at nextStart", kind) << node << 10.0 << true;
    }
}

void SupervisionTest::launchAttemptsAreTenSecondsApart()
{
    QFETCH(QString, node);
    QFETCH(double, delay);
    QFETCH(bool, attempted);
    Installation installation(QStringLiteral("count.sh"), node);
    Agent agent(installation.settings);
    const double firstAttempt = agent.clock.now();
    QCOMPARE(agent.orlinde.nextStart, firstAttempt + 10.0);
    if (agent.orlinde.collector)
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
    const pid_t first = agent.collectorPid();

    agent.clock.advance(delay);
    agent.orlinde.start();

    QCOMPARE(agent.orlinde.nextStart, attempted ? agent.clock.now() + 10.0 : firstAttempt + 10.0);
    if (node == QLatin1String("/bin/sh"))
        QCOMPARE(agent.collectorPid() != first, attempted);
    else
        QVERIFY(!agent.orlinde.collector);
}

void SupervisionTest::collectorThatExitsAtOnceIsRelaunchedEveryFourthTick()
{
    Installation installation(QStringLiteral("count.sh"));
    Agent agent(installation.settings);
    QList<int> launchedAtSeconds;
    for (int second = 3; second <= 60; second += 3) {
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
        const pid_t before = agent.collectorPid();
        agent.tick();
        if (agent.collectorPid() != before)
            launchedAtSeconds << second;
        else
            QCOMPARE(agent.statusLine(), QStringLiteral("Collector restarting…"));
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
    const QString terminationRequests = installation.path(QStringLiteral("signals"));
    Agent agent(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = agent.collectorPid();
    if (pausedFirst) {
        agent.orlinde.togglePause();
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
    }

    agent.clock.advance(2.0);
    agent.orlinde.restartCollector();
    QVERIFY(!agent.orlinde.paused);
    QCOMPARE(agent.orlinde.pauseItem->text(), QStringLiteral("Pause reporting"));
    QCOMPARE(agent.orlinde.nextStart, agent.clock.now() + 6.0);
    QVERIFY(waitUntilExited(*agent.orlinde.collector));
    QCOMPARE(linesOf(terminationRequests), QByteArrayList({ QByteArray::number(first) }));

    agent.tick(5.999);
    QCOMPARE(agent.collectorPid(), first);
    QCOMPARE(agent.statusLine(), QStringLiteral("Collector restarting…"));
    agent.tick(0.001);
    QVERIFY(agent.collectorPid() != first);
}

void SupervisionTest::pauseStopsTheCollectorAndResumeRelaunchesAtOnce()
{
    Installation installation(QStringLiteral("linger.sh"));
    Agent agent(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = agent.collectorPid();

    agent.clock.advance(1.0);
    agent.orlinde.togglePause();
    QCOMPARE(agent.orlinde.pauseItem->text(), QStringLiteral("Resume reporting"));
    QCOMPARE(agent.statusLine(), QStringLiteral("Reporting paused"));
    QVERIFY(waitUntilExited(*agent.orlinde.collector));
    QCOMPARE(
        linesOf(installation.path(QStringLiteral("signals"))), QByteArrayList({ QByteArray::number(first) }));
    for (int tick = 0; tick < 2; ++tick) {
        agent.tick();
        QCOMPARE(agent.statusLine(), QStringLiteral("Reporting paused"));
    }
    QCOMPARE(agent.collectorPid(), first);

    // 7 s after the first launch: its back-off would still hold a timed relaunch.
    agent.orlinde.togglePause();
    QCOMPARE(agent.orlinde.pauseItem->text(), QStringLiteral("Pause reporting"));
    QVERIFY(agent.collectorPid() != first);
    QVERIFY(agent.orlinde.collector->isRunning());
    QCOMPARE(agent.statusLine(), QStringLiteral("Starting collector…"));
}

void SupervisionTest::resumeBeforeTheOldCollectorHasExited()
{
    Installation installation(QStringLiteral("linger.sh"));
    QVERIFY(QFile(installation.path(QStringLiteral("hold"))).open(QIODevice::WriteOnly));
    Agent agent(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    const pid_t first = agent.collectorPid();
    agent.orlinde.togglePause();
    QVERIFY(waitForLines(installation.path(QStringLiteral("signals")), 1));

    agent.orlinde.togglePause();
    QCOMPARE(agent.collectorPid(), first);
    QCOMPARE(agent.orlinde.nextStart, Orlinde::distantPast);
    QCOMPARE(agent.statusLine(), QStringLiteral("Starting collector…"));

    QVERIFY(QFile::remove(installation.path(QStringLiteral("hold"))));
    QVERIFY(waitUntilExited(*agent.orlinde.collector));
    agent.orlinde.refresh();
    QVERIFY(agent.collectorPid() != first);
}

void SupervisionTest::quitAsksTheCollectorToTerminateWhileItRuns_data()
{
    QTest::addColumn<bool>("holdsOn");
    QTest::addColumn<bool>("pausedFirst");
    QTest::addColumn<int>("requests");
    QTest::newRow("still running at termination") << true << false << 2;
    QTest::newRow("ended before termination") << false << false << 1;
    QTest::newRow("paused before quitting") << false << true << 1;
}

void SupervisionTest::quitAsksTheCollectorToTerminateWhileItRuns()
{
    QFETCH(bool, holdsOn);
    QFETCH(bool, pausedFirst);
    QFETCH(int, requests);
    Installation installation(QStringLiteral("linger.sh"));
    const QString terminationRequests = installation.path(QStringLiteral("signals"));
    if (holdsOn)
        QVERIFY(QFile(installation.path(QStringLiteral("hold"))).open(QIODevice::WriteOnly));
    Agent agent(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
    if (pausedFirst) {
        agent.orlinde.togglePause();
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
    }

    agent.orlinde.quit();
    QVERIFY(agent.orlinde.paused);
    QVERIFY(waitForLines(terminationRequests, 1));
    if (!holdsOn)
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
    agent.orlinde.applicationWillTerminate();
    if (holdsOn) {
        QVERIFY(waitForLines(terminationRequests, 2));
        QFile::remove(installation.path(QStringLiteral("hold")));
    }
    QVERIFY(waitUntilExited(*agent.orlinde.collector));
    QCOMPARE(linesOf(terminationRequests).size(), requests);
}

QTEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
