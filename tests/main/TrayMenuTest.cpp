#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "TypicalSettings.h"

#include <QTest>

// The menu and item properties right after launch, as a tray host reads them.
class TrayMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void menuAndProperties();
};

void TrayMenuTest::menuAndProperties()
{
    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app;
    QVERIFY(installIdleCollector(app));
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, watcher, typicalSettings(app), &error);
    QVERIFY2(item, qPrintable(error));
    const std::optional<MenuEntry> menu = item->menu();
    QVERIFY2(menu, qPrintable(item->errorString()));

    // describe() spells out type, label, disabled, hidden and toggle state.
    QStringList entries;
    for (const MenuEntry &entry : menu->children)
        entries << entry.describe();
    QCOMPARE(entries,
        QStringList({ QStringLiteral("\"Starting collector\u2026\" disabled"), QStringLiteral("---"),
            QStringLiteral("\"Open dashboard\""), QStringLiteral("\"Pause reporting\""),
            QStringLiteral("\"Restart collector\""), QStringLiteral("\"Show logs\""),
            QStringLiteral("\"Start at login\" checkmark=0"), QStringLiteral("---"),
            QStringLiteral("\"Quit for this session\"") }));
    for (const MenuEntry &entry : menu->children)
        QVERIFY2(entry.visible, qPrintable(entry.describe())); // separators hide it from describe()

    QCOMPARE(item->toolTipTitle().value_or(item->errorString()), QStringLiteral("Orlinde"));
    // Hosts hide passive items.
    QCOMPARE(item->stringProperty(QStringLiteral("Status")).value_or(item->errorString()),
        QStringLiteral("Active"));
}

QTEST_MAIN(TrayMenuTest)
#include "TrayMenuTest.moc"
