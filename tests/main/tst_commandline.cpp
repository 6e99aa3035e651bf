#include "main/CommandLine.h"

#include <QTest>

Q_DECLARE_METATYPE(RunMode)

class CommandLineTest : public QObject
{
    Q_OBJECT
private slots:
    void runMode_data();
    void runMode();
    void statusExitCode_data();
    void statusExitCode();
    void quitNotificationName_data();
    void quitNotificationName();
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
    QTest::newRow("status") << QStringList { program, "--status" } << RunMode::status;
    QTest::newRow("store wins over status")
        << QStringList { program, "--status", "--store-dashboard-key" } << RunMode::storeDashboardKey;
    QTest::newRow("quit wins over status")
        << QStringList { program, "--status", "--quit-existing" } << RunMode::quitExisting;
    QTest::newRow("status with a value or prefix")
        << QStringList { program, "--status=all", "--Status", "-status" } << RunMode::menuBarAgent;
}

void CommandLineTest::runMode()
{
    QFETCH(QStringList, arguments);
    QFETCH(RunMode, mode);
    QCOMPARE(static_cast<int>(runModeFor(arguments)), static_cast<int>(mode));
}

void CommandLineTest::statusExitCode_data()
{
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("connected") << true << "Connected to dashboard" << 0;
    QTest::newRow("paused") << true << "Reporting paused" << 1;
    QTest::newRow("reconnecting") << true << "Reconnecting…" << 1;
    QTest::newRow("other letter case") << true << "connected to dashboard" << 1;
    QTest::newRow("longer line") << true << "Connected to dashboard " << 1;
    QTest::newRow("no instance answered") << false << "" << 3;
}

void CommandLineTest::statusExitCode()
{
    QFETCH(bool, answered);
    QFETCH(QString, line);
    QFETCH(int, exitCode);
    QCOMPARE(::statusExitCode(answered ? std::optional(line) : std::nullopt), exitCode);
}

// What a running instance listens for, and what an installer or a person posts.
void CommandLineTest::quitNotificationName_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("name");
    QTest::newRow("this executable, outside a bundle") << QString() << "com.tovrex.orlinde.app.quit";
    QTest::newRow("a renamed bundle") << "com.example.orlinde.test"
                                      << "com.example.orlinde.test.quit";
}

void CommandLineTest::quitNotificationName()
{
    QFETCH(QString, identifier);
    QFETCH(QString, name);
    QCOMPARE(identifier.isNull() ? ::quitNotificationName() : ::quitNotificationName(identifier), name);
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
