#include "AppUnderTest.h"
#include "FakeNotificationServer.h"
#include "FakeStatusNotifierWatcher.h"
#include "TitleIconMatch.h"
#include "TrayItem.h"
#include "TypicalSettings.h"
#include "platform/StatusItem.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

namespace {

// The app looks for an X11 tray every 3 seconds; two looks and some slack.
constexpr int settleMs = 7000;
constexpr int collectorLaunchMs = 15000;
constexpr int itemAppearsMs = 10000;

// Starts the app with a collector stand-in that notes its launches in <root>/launches.
bool start(AppUnderTest &app)
{
    return app.isValid()
        && QFile::copy(QStringLiteral(ORLINDE_TEST_DATA "/data/collector.mjs"),
            app.rootPath() + QStringLiteral("/collector.mjs"))
        && app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()) && app.start();
}

QStringList bodies(const FakeNotificationServer &server)
{
    QStringList texts;
    for (const auto &notification : server.notifications())
        texts << notification.appName + QStringLiteral(": ") + notification.body;
    return texts;
}

} // namespace

class NoTrayHostTest : public QObject
{
    Q_OBJECT

private slots:
    void noticesOnceAndShowsTheItemWhenAHostComes();
    void staysQuietWhenTheHostComesWithinTheGrace();
};

void NoTrayHostTest::noticesOnceAndShowsTheItemWhenAHostComes()
{
    FakeNotificationServer notificationArea;
    QVERIFY(notificationArea.isRegistered());
    AppUnderTest app;
    QVERIFY2(start(app), qPrintable(app.errorString()));

    // Without a tray the app still does its job.
    QVERIFY(QTest::qWaitFor(
        [&] { return QFile::exists(app.rootPath() + QStringLiteral("/launches")); }, collectorLaunchMs));

    QVERIFY(QTest::qWaitFor(
        [&] { return !notificationArea.notifications().isEmpty(); }, platform::trayHostGraceMs + settleMs));
    QTest::qWait(settleMs);
    QCOMPARE(bodies(notificationArea).size(), 1);
    QCOMPARE(notificationArea.notifications().first().appName, QStringLiteral("Orlinde"));
    QVERIFY2(notificationArea.notifications().first().body.contains(QStringLiteral("tray")),
        qPrintable(bodies(notificationArea).join(QLatin1Char('\n'))));

    // A tray extension turned on later: the item shows up, and nothing more is said.
    FakeStatusNotifierWatcher tray;
    QVERIFY2(tray.isRegistered(), qPrintable(tray.errorString()));
    const auto item = tray.waitForItemOf(app.pid(), itemAppearsMs);
    QVERIFY2(item, "the item did not appear once a tray host was there");
    TrayItem shown(item->service, item->path);
    const auto pixmaps = shown.iconPixmaps();
    QVERIFY2(pixmaps && !pixmaps->isEmpty(), qPrintable(shown.errorString()));
    const TitleMatch match = nearestTitle(pixmaps->first(), { QStringLiteral("OL"), QStringLiteral("OLH") });
    QVERIFY2(match.title == QStringLiteral("OL"), qPrintable(match.distances));

    QTest::qWait(settleMs);
    QCOMPARE(bodies(notificationArea).size(), 1);
    QVERIFY(app.isRunning());
}

// The panel of a session often starts a little after its agents.
void NoTrayHostTest::staysQuietWhenTheHostComesWithinTheGrace()
{
    constexpr int hostAfterMs = 3000;
    FakeNotificationServer notificationArea;
    QVERIFY(notificationArea.isRegistered());
    AppUnderTest app;
    QVERIFY2(start(app), qPrintable(app.errorString()));
    QTest::qWait(hostAfterMs);
    FakeStatusNotifierWatcher tray;
    QVERIFY2(tray.isRegistered(), qPrintable(tray.errorString()));
    QVERIFY2(tray.waitForItemOf(app.pid(), itemAppearsMs), "the item did not appear");

    QTest::qWait(platform::trayHostGraceMs + settleMs - hostAfterMs);
    QCOMPARE(bodies(notificationArea), QStringList());
}

QTEST_MAIN(NoTrayHostTest)
#include "tst_notrayhost.moc"
