#include "collector/StatusLine.h"
#include "main/StatusItemState.h"

#include <QTest>

using State = platform::StatusItem::State;

Q_DECLARE_METATYPE(State)

namespace {
constexpr double now = 1'800'000'000.0;

QByteArray statusFile(bool connected)
{
    return "{\"at\": " + QByteArray::number(now * 1000 - 1000, 'f', 0)
        + ", \"connected\": " + (connected ? "true" : "false") + "}";
}
} // namespace

// The badge follows every status line the collector's supervisor can show; the lines
// come from statusLine() itself, so a reworded line cannot slip past the badge.
class StatusItemStateTest : public QObject
{
    Q_OBJECT
private slots:
    void badgeFollowsTheStatusLine_data();
    void badgeFollowsTheStatusLine();
};

void StatusItemStateTest::badgeFollowsTheStatusLine_data()
{
    QTest::addColumn<bool>("isPaused");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("launchFailed");
    QTest::addColumn<std::optional<QByteArray>>("file");
    QTest::addColumn<State>("expected");
    const std::optional<QByteArray> none;
    QTest::newRow("connected") << false << true << false << std::optional(statusFile(true)) << State::online;
    QTest::newRow("reconnecting") << false << true << false << std::optional(statusFile(false))
                                  << State::offline;
    QTest::newRow("starting") << false << true << false << none << State::offline;
    QTest::newRow("restarting") << false << false << false << none << State::offline;
    QTest::newRow("failed to start") << false << false << true << none << State::failed;
    QTest::newRow("paused after a failed start") << true << false << true << none << State::paused;
    QTest::newRow("paused while connected")
        << true << true << false << std::optional(statusFile(true)) << State::paused;
}

void StatusItemStateTest::badgeFollowsTheStatusLine()
{
    QFETCH(bool, isPaused);
    QFETCH(bool, running);
    QFETCH(bool, launchFailed);
    QFETCH(std::optional<QByteArray>, file);
    QFETCH(State, expected);
    const QString line = statusLine(isPaused, running, launchFailed, file, now);
    QVERIFY2(statusItemState(line) == expected, qPrintable(line));
}

QTEST_MAIN(StatusItemStateTest)
#include "tst_statusitemstate.moc"
