#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "Timeouts.h"
#include "TrayItem.h"
#include "TypicalSettings.h"

#include <QJsonDocument>
#include <QTest>

// An agent started at login usually comes up before the panel; it must still appear
// in the tray once the panel does.
class LateTrayTest : public QObject
{
    Q_OBJECT

private slots:
    void itemAppearsWhenTrayStartsLater();
};

void LateTrayTest::itemAppearsWhenTrayStartsLater()
{
    AppUnderTest app;
    QVERIFY2(app.isValid(), qPrintable(app.errorString()));
    QVERIFY2(app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()), qPrintable(app.errorString()));
    QVERIFY2(app.start(), qPrintable(app.errorString()));

    QTest::qWait(2000);
    QCOMPARE(describe(app.waitForExit(0)), QStringLiteral("still running"));

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    const std::optional<FakeStatusNotifierWatcher::Item> registered
        = watcher.waitForItemOf(app.pid(), timeouts::launchMs);
    QVERIFY2(registered, "no tray item once the tray started");

    // Registered is not enough: the host must be able to use the item.
    TrayItem item(registered->service, registered->path);
    QVERIFY2(item.waitForLabel(QStringLiteral("Quit for this session"), timeouts::launchMs),
        qPrintable(item.errorString()));
}

QTEST_MAIN(LateTrayTest)
#include "LateTrayTest.moc"
