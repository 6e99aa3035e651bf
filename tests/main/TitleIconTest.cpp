#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "TitleIconMatch.h"
#include "TypicalSettings.h"

#include <QTest>

// The tray shows the title only as the icon, so the icon is what tells a product
// install ("OLH") from a development one ("OL").
class TitleIconTest : public QObject
{
    Q_OBJECT

private slots:
    void titleFollowsProduct_data();
    void titleFollowsProduct();
};

void TitleIconTest::titleFollowsProduct_data()
{
    QTest::addColumn<QJsonValue>("product"); // undefined: not in settings.json
    QTest::addColumn<QString>("title");

    QTest::newRow("product true") << QJsonValue(true) << QStringLiteral("OLH");
    QTest::newRow("product absent") << QJsonValue(QJsonValue::Undefined) << QStringLiteral("OL");
}

void TitleIconTest::titleFollowsProduct()
{
    QFETCH(QJsonValue, product);
    QFETCH(QString, title);

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app;
    QJsonObject settings = typicalSettings(app);
    if (!product.isUndefined())
        settings.insert(QStringLiteral("product"), product);
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, watcher, settings, &error);
    QVERIFY2(item, qPrintable(error));

    const std::optional<QList<QImage>> pixmaps = item->iconPixmaps();
    QVERIFY2(pixmaps, qPrintable(item->errorString()));
    QVERIFY2(!pixmaps->isEmpty() && !pixmaps->constFirst().isNull(), "expected an icon pixmap, got none");
    // Every image travels in each IconPixmap reply: small ones only.
    for (const QImage &pixmap : *pixmaps)
        QVERIFY(pixmap.width() <= 64 && pixmap.height() <= 64);
    const TitleMatch shown
        = nearestTitle(pixmaps->constFirst(), { QStringLiteral("OL"), QStringLiteral("OLH") });
    QVERIFY2(shown.title == title,
        qPrintable(QStringLiteral("expected the icon to show %1, got %2 (distances %3)")
                       .arg(title, shown.title, shown.distances)));
}

QTEST_MAIN(TitleIconTest)
#include "TitleIconTest.moc"
