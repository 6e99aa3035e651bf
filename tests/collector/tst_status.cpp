#include "CollectorTestSupport.h"
#include "collector/StatusLine.h"

#include <QtTest>
#include <sys/stat.h>

namespace {

constexpr double now = 1'800'000'000.0; // seconds; exactly 1.8e12 in milliseconds
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
};

void StatusTest::statusLineFollowsTheTable_data()
{
    QTest::addColumn<bool>("isPaused");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("launchFailed"); // the last launch attempt
    QTest::addColumn<std::optional<QByteArray>>("statusFile");
    QTest::addColumn<QString>("expected");
    const std::optional<QByteArray> fresh = statusWrittenAgo(1000);
    QTest::newRow("paused beats a fresh connected file")
        << true << true << true << fresh << "Reporting paused";
    QTest::newRow("not running beats a fresh connected file")
        << false << false << false << fresh << "Collector restarting…";
    QTest::newRow("failed launch beats a fresh connected file")
        << false << false << true << fresh << "Collector failed to start";

    // The collector runs, and its last launch succeeded.
    const auto running = [](const char *name, const std::optional<QByteArray> &file, QString expected) {
        QTest::newRow(name) << false << true << false << file << expected;
    };
    running("file unreadable", std::nullopt, starting);
    running("empty file", "", starting);
    running("top-level array", "[1800000000000, true]", starting);
    running("at as a string of digits", "{\"at\": \"1800000000000\", \"connected\": true}", starting);
    running("exactly 25000 ms old", statusWrittenAgo(25'000), starting);
    running("24999 ms old", statusWrittenAgo(24'999), connected);
    running("24999.999 ms old", statusWrittenAgo(24'999.999), connected);
    running("at in the future", statusWrittenAgo(-3'600'000), connected);
    running("connected false", statusWrittenAgo(0, "false"), reconnecting);
    running("connected as the string true", statusWrittenAgo(0, "\"true\""), reconnecting);
    running("connected absent", "{\"at\": 1800000000000}", reconnecting);
    running("other members ignored", "{\"x\": [], \"at\": 1800000000000, \"connected\": true}", connected);
}

void StatusTest::statusLineFollowsTheTable()
{
    QFETCH(bool, isPaused);
    QFETCH(bool, running);
    QFETCH(bool, launchFailed);
    QFETCH(std::optional<QByteArray>, statusFile);
    QFETCH(QString, expected);
    QCOMPARE(statusLine(isPaused, running, launchFailed, statusFile, now), expected);
}

// Through refresh with a real collector: what the file is, and whether the pass itself
// relaunched the collector before reading it.
void StatusTest::refreshReadsTheStatusFileOnlyWhenItCanShow_data()
{
    QTest::addColumn<bool>("relaunched");
    QTest::addColumn<QString>("statusFile"); // fresh, missing or FIFO
    QTest::addColumn<QString>("expected");
    QTest::newRow("fresh connected") << false << "fresh" << connected;
    QTest::newRow("missing") << false << "missing" << starting;
    QTest::newRow("FIFO") << false << "FIFO" << starting;
    QTest::newRow("relaunched by the same pass, fresh") << true << "fresh" << connected;
}

void StatusTest::refreshReadsTheStatusFileOnlyWhenItCanShow()
{
    QFETCH(bool, relaunched);
    QFETCH(QString, statusFile);
    QFETCH(QString, expected);
    Installation installation(QStringLiteral("linger.sh"));
    Supervision supervision(installation.settings);
    const QString path = installation.data(QStringLiteral("desktop-status.json"));
    if (relaunched) {
        supervision.supervisor.stop();
        QVERIFY(supervision.waitUntilExited());
    }
    if (statusFile == QLatin1String("fresh")) {
        const QByteArray at = QByteArray::number(supervision.wall.now() * 1000 + 9000, 'f', 0);
        QVERIFY(writeFile(path, "{\"at\": " + at + ", \"connected\": true}"));
    } else if (statusFile == QLatin1String("FIFO")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }

    supervision.tick(relaunched ? 10.0 : 0.0);
    QCOMPARE(supervision.supervisor.statusLine(), expected);
}

QTEST_MAIN(StatusTest)
#include "tst_status.moc"
