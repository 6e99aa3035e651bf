#include "main/CommandLine.h"

#include <QTest>

class CommandLineTest : public QObject
{
    Q_OBJECT
private slots:
    void runMode_data();
    void runMode();
    void statusExitCode_data();
    void statusExitCode();
    void quitNotificationName();
};

void CommandLineTest::runMode_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<RunMode>("mode");
    const auto row = [](const char *name, const QStringList &arguments, RunMode mode) {
        QTest::newRow(name) << arguments << mode;
    };
    const QString program = QStringLiteral("/opt/Orlinde.app/Contents/MacOS/Orlinde");
    using enum RunMode;
    row("no arguments", { program }, menuBarAgent);
    row("unrecognised arguments", { program, "-psn_0_1", "--verbose" }, menuBarAgent);
    row("quit wins, store first", { program, "--store-dashboard-key", "--quit-existing" }, quitExisting);
    row("store, after other arguments", { program, "x", "y", "--store-dashboard-key" }, storeDashboardKey);
    row("the program path itself counts", { "--quit-existing" }, quitExisting);
    row("with a value", { program, "--quit-existing=1" }, menuBarAgent);
    row("other letter case", { program, "--Quit-Existing", "--STORE-DASHBOARD-KEY" }, menuBarAgent);
    row("part of an argument", { program, "x--store-dashboard-key" }, menuBarAgent);
    row("status", { program, "--status" }, status);
    row("store wins over status", { program, "--status", "--store-dashboard-key" }, storeDashboardKey);
    row("quit wins over status, given first", { program, "--quit-existing", "--status" }, quitExisting);
    row("status with a value or prefix", { program, "--status=all", "--Status", "-status" }, menuBarAgent);
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
void CommandLineTest::quitNotificationName()
{
    // This executable, outside a bundle, then a renamed bundle.
    QCOMPARE(::quitNotificationName(), "com.tovrex.orlinde.app.quit");
    QCOMPARE(::quitNotificationName("com.example.orlinde.test"), "com.example.orlinde.test.quit");
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
