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
#include <memory>

namespace {

// The app looks for an X11 tray every 3 seconds; two looks and some slack.
constexpr int settleMs = 7000;
constexpr int collectorLaunchMs = 15000;
constexpr int itemAppearsMs = 10000;

struct Installation
{
    std::unique_ptr<AppUnderTest> app = std::make_unique<AppUnderTest>();

    bool prepare(QString *error)
    {
        if (!app->isValid()) {
            *error = app->errorString();
            return false;
        }
        const QString collector = app->rootPath() + QStringLiteral("/collector.mjs");
        if (!QFile::copy(QStringLiteral(ORLINDE_TEST_DATA "/data/collector.mjs"), collector)) {
            *error = QStringLiteral("cannot copy the collector stand-in");
            return false;
        }
        const QJsonObject settings = typicalSettings(*app);
        if (!app->writeSettings(QJsonDocument(settings).toJson())) {
            *error = QStringLiteral("cannot write settings.json");
            return false;
        }
        return true;
    }

    int collectorLaunches() const
    {
        QFile launches(app->rootPath() + QStringLiteral("/launches"));
        if (!launches.open(QIODevice::ReadOnly))
            return 0;
        return int(launches.readAll().count('\n'));
    }
};

QString describe(const QList<FakeNotificationServer::Notification> &notifications)
{
    QStringList lines;
    for (const auto &notification : notifications)
        lines << QStringLiteral("[%1] %2: %3")
                     .arg(notification.appName, notification.summary, notification.body);
    return lines.isEmpty() ? QStringLiteral("none") : lines.join(QStringLiteral("; "));
}

} // namespace

class NoTrayHostTest : public QObject
{
    Q_OBJECT

private slots:
    void noticesOnceAndShowsTheItemWhenAHostComes();
    void staysQuietWhenAHostIsThereInTime_data();
    void staysQuietWhenAHostIsThereInTime();
};

void NoTrayHostTest::noticesOnceAndShowsTheItemWhenAHostComes()
{
    FakeNotificationServer notificationArea;
    QVERIFY2(notificationArea.isRegistered(), "cannot own org.freedesktop.Notifications");
    Installation installation;
    QString error;
    QVERIFY2(installation.prepare(&error), qPrintable(error));
    QVERIFY(installation.app->start());

    // Without a tray the app still does its job.
    QVERIFY2(QTest::qWaitFor([&] { return installation.collectorLaunches() > 0; }, collectorLaunchMs),
        "the collector was not launched");

    QVERIFY2(QTest::qWaitFor([&] { return !notificationArea.notifications().isEmpty(); },
                 platform::trayHostGraceMs + settleMs),
        "no notification about the missing tray");
    QTest::qWait(settleMs);
    const auto notifications = notificationArea.notifications();
    QVERIFY2(notifications.size() == 1,
        qPrintable(QStringLiteral("expected one notification, got: %1").arg(describe(notifications))));
    QCOMPARE(notifications.first().appName, QStringLiteral("Orlinde"));
    QVERIFY2(
        notifications.first().body.contains(QStringLiteral("tray")), qPrintable(describe(notifications)));

    // A tray extension turned on later: the item shows up, and nothing more is said.
    FakeStatusNotifierWatcher tray;
    QVERIFY2(tray.isRegistered(), qPrintable(tray.errorString()));
    const auto item = tray.waitForItemOf(installation.app->pid(), itemAppearsMs);
    QVERIFY2(item, "the item did not appear once a tray host was there");

    // Every image of the icon travels in each IconPixmap reply: small ones only.
    TrayItem shown(item->service, item->path);
    const auto pixmaps = shown.iconPixmaps();
    QVERIFY2(pixmaps && !pixmaps->isEmpty(), qPrintable(shown.errorString()));
    qsizetype bytes = 0;
    QStringList sizes;
    for (const QImage &pixmap : *pixmaps) {
        sizes << QStringLiteral("%1x%2").arg(pixmap.width()).arg(pixmap.height());
        bytes += 4 * pixmap.width() * pixmap.height();
        QVERIFY2(pixmap.width() <= 64 && pixmap.height() <= 64, qPrintable(sizes.join(QLatin1Char(' '))));
    }
    qInfo("IconPixmap: %s, %lld bytes", qPrintable(sizes.join(QLatin1Char(' '))), qlonglong(bytes));
    const TitleMatch match = nearestTitle(pixmaps->first(), { QStringLiteral("OL"), QStringLiteral("OLH") });
    QVERIFY2(match.title == QStringLiteral("OL"), qPrintable(match.distances));

    QTest::qWait(settleMs);
    QVERIFY2(notificationArea.notifications().size() == 1,
        qPrintable(QStringLiteral("expected one notification, got: %1")
                       .arg(describe(notificationArea.notifications()))));
    QVERIFY(installation.app->isRunning());
}

void NoTrayHostTest::staysQuietWhenAHostIsThereInTime_data()
{
    QTest::addColumn<int>("hostAfterMs");
    QTest::newRow("host before launch") << -1;
    // The panel of a session often starts a little after its agents.
    QTest::newRow("host a few seconds after launch") << 3000;
}

void NoTrayHostTest::staysQuietWhenAHostIsThereInTime()
{
    QFETCH(int, hostAfterMs);
    FakeNotificationServer notificationArea;
    QVERIFY2(notificationArea.isRegistered(), "cannot own org.freedesktop.Notifications");
    Installation installation;
    QString error;
    QVERIFY2(installation.prepare(&error), qPrintable(error));

    std::unique_ptr<FakeStatusNotifierWatcher> tray;
    if (hostAfterMs < 0)
        tray = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY(installation.app->start());
    if (hostAfterMs >= 0) {
        QTest::qWait(hostAfterMs);
        tray = std::make_unique<FakeStatusNotifierWatcher>();
    }
    QVERIFY2(tray->isRegistered(), qPrintable(tray->errorString()));
    QVERIFY2(tray->waitForItemOf(installation.app->pid(), itemAppearsMs), "the item did not appear");

    QTest::qWait(platform::trayHostGraceMs + settleMs - hostAfterMs);
    QVERIFY2(notificationArea.notifications().isEmpty(),
        qPrintable(QStringLiteral("expected no notification, got: %1")
                       .arg(describe(notificationArea.notifications()))));
}

QTEST_MAIN(NoTrayHostTest)
#include "tst_notrayhost.moc"
