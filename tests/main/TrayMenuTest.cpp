#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "TypicalSettings.h"

#include <QTest>
#include <memory>

// The menu and tooltip of the tray item right after launch, read once from one app.
class TrayMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nineEntries();
    void entries_data();
    void entries();
    void toolTip();
    void activeStatus();

private:
    QString describeMenu() const;

    std::unique_ptr<FakeStatusNotifierWatcher> watcher;
    std::unique_ptr<AppUnderTest> app;
    std::optional<TrayItem> item;
    MenuEntry menu;
};

void TrayMenuTest::initTestCase()
{
    watcher = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY2(watcher->isRegistered(), qPrintable(watcher->errorString()));
    app = std::make_unique<AppUnderTest>();
    QVERIFY(installIdleCollector(*app));
    QString error;
    item = launchIntoTray(*app, *watcher, typicalSettings(*app), &error);
    QVERIFY2(item, qPrintable(error));
    const std::optional<MenuEntry> root = item->menu();
    QVERIFY2(root, qPrintable(item->errorString()));
    menu = *root;
}

QString TrayMenuTest::describeMenu() const
{
    QStringList lines;
    for (const MenuEntry &entry : menu.children)
        lines.append(entry.describe());
    return lines.join(QStringLiteral(" | "));
}

void TrayMenuTest::nineEntries()
{
    QVERIFY2(menu.children.size() == 9,
        qPrintable(
            QStringLiteral("expected 9 entries, got %1: %2").arg(menu.children.size()).arg(describeMenu())));
}

void TrayMenuTest::entries_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("label"); // empty for a separator
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("toggleType");
    QTest::addColumn<int>("toggleState");

    const QString plain;
    const QString checkmark = QStringLiteral("checkmark");
    QTest::newRow("status line") << 0 << QStringLiteral("Starting collector\u2026") << false << plain << -1;
    QTest::newRow("separator below status") << 1 << QString() << true << plain << -1;
    QTest::newRow("open dashboard") << 2 << QStringLiteral("Open dashboard") << true << plain << -1;
    QTest::newRow("pause reporting") << 3 << QStringLiteral("Pause reporting") << true << plain << -1;
    QTest::newRow("restart collector") << 4 << QStringLiteral("Restart collector") << true << plain << -1;
    QTest::newRow("show logs") << 5 << QStringLiteral("Show logs") << true << plain << -1;
    QTest::newRow("start at login, unchecked")
        << 6 << QStringLiteral("Start at login") << true << checkmark << 0;
    QTest::newRow("separator above quit") << 7 << QString() << true << plain << -1;
    QTest::newRow("quit") << 8 << QStringLiteral("Quit for this session") << true << plain << -1;
}

void TrayMenuTest::entries()
{
    QFETCH(int, position);
    QFETCH(QString, label);
    QFETCH(bool, enabled);
    QFETCH(QString, toggleType);
    QFETCH(int, toggleState);

    QVERIFY2(position < menu.children.size(),
        qPrintable(
            QStringLiteral("expected an entry at %1, got only: %2").arg(position).arg(describeMenu())));
    const MenuEntry &entry = menu.children.at(position);
    QVERIFY2(entry.visible, qPrintable(QStringLiteral("expected visible, got hidden: ") + entry.describe()));
    if (label.isEmpty()) {
        QCOMPARE(entry.type, QStringLiteral("separator"));
        return;
    }
    QCOMPARE(entry.type, QStringLiteral("standard"));
    QCOMPARE(entry.label, label);
    QCOMPARE(entry.enabled, enabled);
    QCOMPARE(entry.toggleType, toggleType);
    if (!toggleType.isEmpty())
        QCOMPARE(entry.toggleState, toggleState);
}

void TrayMenuTest::toolTip()
{
    const std::optional<QString> title = item->toolTipTitle();
    QVERIFY2(title, qPrintable(item->errorString()));
    QCOMPARE(*title, QStringLiteral("Orlinde"));
}

void TrayMenuTest::activeStatus()
{
    // Hosts hide passive items.
    const std::optional<QString> status = item->stringProperty(QStringLiteral("Status"));
    QVERIFY2(status, qPrintable(item->errorString()));
    QCOMPARE(*status, QStringLiteral("Active"));
}

QTEST_MAIN(TrayMenuTest)
#include "TrayMenuTest.moc"
