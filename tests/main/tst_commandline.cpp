#include "main/CommandLine.h"

#include <QTest>

Q_DECLARE_METATYPE(RunMode)

class CommandLineTest : public QObject
{
    Q_OBJECT
private slots:
    void runMode_data();
    void runMode();
};

void CommandLineTest::runMode_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<RunMode>("mode");
    const QString program = QStringLiteral("/opt/Orlinde.app/Contents/MacOS/Orlinde");
    QTest::newRow("no arguments") << QStringList { program } << RunMode::menuBarAgent;
    QTest::newRow("unrecognised arguments")
        << QStringList { program, "-psn_0_1", "--verbose" } << RunMode::menuBarAgent;
    QTest::newRow("quit") << QStringList { program, "--quit-existing" } << RunMode::quitExisting;
    QTest::newRow("store") << QStringList { program, "--store-dashboard-key" } << RunMode::storeDashboardKey;
    QTest::newRow("quit wins, store first")
        << QStringList { program, "--store-dashboard-key", "--quit-existing" } << RunMode::quitExisting;
    QTest::newRow("anywhere, after other arguments")
        << QStringList { program, "x", "y", "--store-dashboard-key" } << RunMode::storeDashboardKey;
    QTest::newRow("the program path itself counts")
        << QStringList { "--quit-existing" } << RunMode::quitExisting;
    QTest::newRow("with a value") << QStringList { program, "--quit-existing=1" } << RunMode::menuBarAgent;
    QTest::newRow("other letter case")
        << QStringList { program, "--Quit-Existing", "--STORE-DASHBOARD-KEY" } << RunMode::menuBarAgent;
    QTest::newRow("part of an argument")
        << QStringList { program, "x--store-dashboard-key" } << RunMode::menuBarAgent;
}

void CommandLineTest::runMode()
{
    QFETCH(QStringList, arguments);
    QFETCH(RunMode, mode);
    QCOMPARE(static_cast<int>(runModeFor(arguments)), static_cast<int>(mode));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
