#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"

#include <QFile>
#include <QTest>

namespace {

int launchesIn(const AppUnderTest &app)
{
    QFile launches(app.rootPath() + QStringLiteral("/launches"));
    return launches.open(QIODevice::ReadOnly) ? launches.readAll().count('\n') : 0;
}

} // namespace

// One running agent per bundle identifier in a session: a second start (login started
// one, the person starts another from the menu) starts nothing, while a start right
// after --quit-existing (an upgrade) takes over from the instance that is leaving.
class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void secondStartStartsNothing();
    void startRightAfterQuitExistingTakesOver();
};

void SingleInstanceTest::secondStartStartsNothing()
{
    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest first;
    QVERIFY(installNotingCollector(first));
    QString error;
    QVERIFY2(launchIntoTray(first, watcher, typicalSettings(first), &error), qPrintable(error));
    QVERIFY(QTest::qWaitFor([&] { return launchesIn(first) == 1; }, timeouts::launchMs));

    // The same installation started again, as the menu entry or a login would.
    QCOMPARE(describe(first.runOnce({}, 3 * timeouts::launchMs)), QStringLiteral("exited with status 0"));
    QCOMPARE(watcher.registrationLog().size(), 1);
    QCOMPARE(launchesIn(first), 1);
    QCOMPARE(describe(first.waitForExit(0)), QStringLiteral("still running"));
}

void SingleInstanceTest::startRightAfterQuitExistingTakesOver()
{
    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest old;
    AppUnderTest upgraded;
    QVERIFY(installIdleCollector(old));
    QVERIFY(installNotingCollector(upgraded));
    QString error;
    QVERIFY2(launchIntoTray(old, watcher, typicalSettings(old), &error), qPrintable(error));

    QCOMPARE(describe(old.runOnce({ QStringLiteral("--quit-existing") }, timeouts::exitMs)),
        QStringLiteral("exited with status 0"));
    QVERIFY2(launchIntoTray(upgraded, watcher, typicalSettings(upgraded), &error), qPrintable(error));
    QCOMPARE(describe(old.waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    QVERIFY(QTest::qWaitFor([&] { return launchesIn(upgraded) == 1; }, timeouts::launchMs));
    QCOMPARE(describe(upgraded.waitForExit(0)), QStringLiteral("still running"));
}

QTEST_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
