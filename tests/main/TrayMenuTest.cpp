#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "TitleIconMatch.h"
#include "TypicalSettings.h"

#include <QTest>

// The item right after launch, as a tray host reads it: the menu, the tooltip, and the
// icon, which is the only place the title shows and so tells a product install ("OLH")
// from a development one ("OL").
class TrayMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void menuAndProperties_data();
    void menuAndProperties();
};

void TrayMenuTest::menuAndProperties_data()
{
    QTest::addColumn<QJsonValue>("product"); // undefined: not in settings.json
    QTest::addColumn<QString>("title");

    QTest::newRow("product true") << QJsonValue(true) << QStringLiteral("OLH");
    QTest::newRow("product absent") << QJsonValue(QJsonValue::Undefined) << QStringLiteral("OL");
}

void TrayMenuTest::menuAndProperties()
{
    QFETCH(QJsonValue, product);
    QFETCH(QString, title);

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app;
    QVERIFY(installIdleCollector(app));
    QJsonObject settings = typicalSettings(app);
    if (!product.isUndefined())
        settings.insert(QStringLiteral("product"), product);
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, watcher, settings, &error);
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

    const std::optional<QList<QImage>> pixmaps = item->iconPixmaps();
    QVERIFY2(pixmaps && !pixmaps->isEmpty() && !pixmaps->constFirst().isNull(),
        qPrintable(QStringLiteral("expected an icon pixmap, got none: ") + item->errorString()));
    // Every image travels in each IconPixmap reply: small ones only.
    for (const QImage &pixmap : *pixmaps)
        QVERIFY(pixmap.width() <= 64 && pixmap.height() <= 64);
    const TitleMatch shown
        = nearestTitle(pixmaps->constFirst(), { QStringLiteral("OL"), QStringLiteral("OLH") });
    QVERIFY2(shown.title == title,
        qPrintable(QStringLiteral("expected the icon to show %1, got %2 (distances %3)")
                       .arg(title, shown.title, shown.distances)));
}

QTEST_MAIN(TrayMenuTest)
#include "TrayMenuTest.moc"
