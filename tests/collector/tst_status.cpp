#include "CollectorTestSupport.h"
#include "main/StatusLine.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QtTest>
#include <sys/stat.h>

namespace {

constexpr double now = 1'800'000'000.0; // seconds; exactly 1.8e12 in milliseconds
const QString paused = QStringLiteral("Reporting paused");
const QString restarting = QStringLiteral("Collector restarting…");
const QString starting = QStringLiteral("Starting collector…");
const QString connected = QStringLiteral("Connected to dashboard");
const QString reconnecting = QStringLiteral("Reconnecting…");

QByteArray statusWrittenAgo(double ageMs, const char *connectedJson = "true")
{
    return "{\"at\": " + QByteArray::number(now * 1000 - ageMs, 'f', 3) + ", \"connected\": " + connectedJson
        + "}";
}

} // namespace

class StatusTest : public QObject
{
    Q_OBJECT
private slots:
    void statusLineFollowsTheTable_data();
    void statusLineFollowsTheTable();
    void refreshReadsTheStatusFileOnlyWhenItCanShow_data();
    void refreshReadsTheStatusFileOnlyWhenItCanShow();
    void loginCheckMarkFollowsTheFileFromOutside();
};

void StatusTest::statusLineFollowsTheTable_data()
{
    QTest::addColumn<bool>("isPaused");
    QTest::addColumn<bool>("running");
    QTest::addColumn<std::optional<QByteArray>>("statusFile");
    QTest::addColumn<QString>("expected");
    const std::optional<QByteArray> fresh = statusWrittenAgo(1000);

    QTest::newRow("paused beats a fresh connected file") << true << true << fresh << paused;
    QTest::newRow("paused, collector not running") << true << false << fresh << paused;
    QTest::newRow("not running beats a fresh connected file") << false << false << fresh << restarting;
    QTest::newRow("file unreadable") << false << true << std::optional<QByteArray>() << starting;
    QTest::newRow("empty file") << false << true << std::optional<QByteArray>("") << starting;
    QTest::newRow("top-level array") << false << true << std::optional<QByteArray>("[1800000000000, true]")
                                     << starting;
    QTest::newRow("top-level number")
        << false << true << std::optional<QByteArray>("1800000000000") << starting;
    QTest::newRow("half written") << false << true << std::optional<QByteArray>(statusWrittenAgo(0).left(20))
                                  << starting;
    QTest::newRow("no at") << false << true << std::optional<QByteArray>("{\"connected\": true}") << starting;
    QTest::newRow("at as a string of digits")
        << false << true << std::optional<QByteArray>("{\"at\": \"1800000000000\", \"connected\": true}")
        << starting;
    QTest::newRow("at null") << false << true
                             << std::optional<QByteArray>("{\"at\": null, \"connected\": true}") << starting;
    QTest::newRow("exactly 25000 ms old")
        << false << true << std::optional(statusWrittenAgo(25'000)) << starting;
    QTest::newRow("24999 ms old") << false << true << std::optional(statusWrittenAgo(24'999)) << connected;
    QTest::newRow("24999.999 ms old")
        << false << true << std::optional(statusWrittenAgo(24'999.999)) << connected;
    QTest::newRow("at in the future")
        << false << true << std::optional(statusWrittenAgo(-3'600'000)) << connected;
    QTest::newRow("at in seconds") << false << true
                                   << std::optional<QByteArray>("{\"at\": 1800000000, \"connected\": true}")
                                   << starting;
    QTest::newRow("connected false") << false << true << std::optional(statusWrittenAgo(0, "false"))
                                     << reconnecting;
    QTest::newRow("connected as the string true")
        << false << true << std::optional(statusWrittenAgo(0, "\"true\"")) << reconnecting;
    QTest::newRow("connected as 1") << false << true << std::optional(statusWrittenAgo(0, "1"))
                                    << reconnecting;
    QTest::newRow("connected null") << false << true << std::optional(statusWrittenAgo(0, "null"))
                                    << reconnecting;
    QTest::newRow("connected absent")
        << false << true << std::optional<QByteArray>("{\"at\": 1800000000000}") << reconnecting;
    QTest::newRow("other members ignored")
        << false << true
        << std::optional<QByteArray>("{\"x\": [], \"at\": 1800000000000, \"connected\": true}") << connected;
}

void StatusTest::statusLineFollowsTheTable()
{
    QFETCH(bool, isPaused);
    QFETCH(bool, running);
    QFETCH(std::optional<QByteArray>, statusFile);
    QFETCH(QString, expected);
    QCOMPARE(statusLine(isPaused, running, statusFile, now), expected);
}

void StatusTest::refreshReadsTheStatusFileOnlyWhenItCanShow_data()
{
    QTest::addColumn<QString>("collector"); // running, ended, relaunched or paused
    QTest::addColumn<QString>("statusFile"); // fresh, missing, FIFO or directory
    QTest::addColumn<QString>("expected");
    QTest::newRow("running, fresh connected") << "running"
                                              << "fresh" << connected;
    QTest::newRow("running, missing") << "running"
                                      << "missing" << starting;
    QTest::newRow("running, FIFO") << "running"
                                   << "FIFO" << starting;
    QTest::newRow("running, directory") << "running"
                                        << "directory" << starting;
    QTest::newRow("paused, fresh connected") << "paused"
                                             << "fresh" << paused;
    QTest::newRow("ended within the back-off, fresh connected") << "ended"
                                                                << "fresh" << restarting;
    QTest::newRow("ended, relaunched by the same pass") << "relaunched"
                                                        << "fresh" << connected;
}

void StatusTest::refreshReadsTheStatusFileOnlyWhenItCanShow()
{
    QFETCH(QString, collector);
    QFETCH(QString, statusFile);
    QFETCH(QString, expected);
    Installation installation(QStringLiteral("linger.sh"));
    Agent agent(installation.settings);
    const QString path = installation.data(QStringLiteral("desktop-status.json"));
    if (collector == QLatin1String("paused")) {
        agent.orlinde.togglePause();
    } else if (collector != QLatin1String("running")) {
        agent.orlinde.stop();
        QVERIFY(waitUntilExited(*agent.orlinde.collector));
        agent.clock.advance(collector == QLatin1String("ended") ? 9.0 : 10.0);
    }
    if (statusFile == QLatin1String("fresh")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("{\"at\": ") + QByteArray::number(agent.clock.now() * 1000 - 1000, 'f', 0)
            + ", \"connected\": true}");
    } else if (statusFile == QLatin1String("FIFO")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (statusFile == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    }

    agent.orlinde.refresh();
    QCOMPARE(agent.statusLine(), expected);
}

void StatusTest::loginCheckMarkFollowsTheFileFromOutside()
{
    Installation installation(QStringLiteral("linger.sh"));
    Agent agent(installation.settings);
    QFile launchAgent(installation.settings.launchAgent);
    QVERIFY(!agent.orlinde.loginItem->isChecked());

    QVERIFY(launchAgent.open(QIODevice::WriteOnly));
    launchAgent.close();
    agent.tick();
    QVERIFY(agent.orlinde.loginItem->isChecked());

    agent.orlinde.togglePause();
    QVERIFY(launchAgent.remove());
    agent.tick();
    QVERIFY(!agent.orlinde.loginItem->isChecked());
}

QTEST_MAIN(StatusTest)
#include "tst_status.moc"
