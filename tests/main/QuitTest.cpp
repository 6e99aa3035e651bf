#include "AppUnderTest.h"
#include "BusSubscriptions.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <sys/stat.h>

// Every way the app is asked to end ends it cleanly (status 0), and a quit meant for
// another installation leaves it running.
class QuitTest : public QObject
{
    Q_OBJECT

private slots:
    void quitNotification_data();
    void quitNotification();
    void quitFromMenuOrSignal_data();
    void quitFromMenuOrSignal();
    void quitExistingWithoutBus();

private:
    const QString exitedCleanly = QStringLiteral("exited with status 0");
    const QString stillRunning = QStringLiteral("still running");
};

namespace {

const QString notificationInterface = QStringLiteral("com.tovrex.orlinde.Notifications");

// The line an installer script or a person would type.
QString gdbusEmit(const QString &name)
{
    QProcess gdbus;
    gdbus.setProcessChannelMode(QProcess::MergedChannels);
    gdbus.start(QStringLiteral("gdbus"),
        { QStringLiteral("emit"), QStringLiteral("--session"), QStringLiteral("--object-path"),
            QStringLiteral("/com/tovrex/orlinde"), QStringLiteral("--signal"),
            notificationInterface + QStringLiteral(".Posted"),
            QLatin1Char('\'') + name + QLatin1Char('\'') });
    if (!gdbus.waitForFinished(timeouts::exitMs))
        return QStringLiteral("gdbus did not finish: ") + gdbus.errorString();
    const QString output = QString::fromLocal8Bit(gdbus.readAll()).trimmed();
    const QString exit = describe(AppExit { gdbus.exitStatus(), gdbus.exitCode() });
    return output.isEmpty() ? exit : exit + QStringLiteral(": ") + output;
}

} // namespace

void QuitTest::quitNotification_data()
{
    QTest::addColumn<bool>("inBundle");
    QTest::addColumn<QString>("identifier"); // of the running app; empty: no Info.plist
    QTest::addColumn<QString>("poster"); // "same copy", "other bundle" or "gdbus"
    QTest::addColumn<QString>("posted"); // the other bundle's identifier, or the name gdbus posts
    QTest::addColumn<bool>("quits");

    const QString shipped = QStringLiteral("com.tovrex.orlinde.app");
    const QString renamed = QStringLiteral("com.example.orlinde.test");
    QTest::newRow("--quit-existing, identifier from Info.plist")
        << true << renamed << "same copy" << QString() << true;
    QTest::newRow("--quit-existing, no bundle") << false << QString() << "same copy" << QString() << true;
    // Read as missing, never waited on: both sides fall back to the default identifier.
    QTest::newRow("--quit-existing, Info.plist a FIFO") << true << "FIFO"
                                                        << "same copy" << QString() << true;
    QTest::newRow("--quit-existing of another bundle")
        << true << renamed << "other bundle" << QStringLiteral("com.example.orlinde.other") << false;
    QTest::newRow("gdbus, the app's quit") << true << shipped << "gdbus" << shipped + ".quit" << true;
    QTest::newRow("gdbus, another app's quit")
        << true << shipped << "gdbus" << QStringLiteral("com.example.other.quit") << false;
    QTest::newRow("gdbus, default quit to a renamed bundle")
        << true << renamed << "gdbus" << shipped + ".quit" << false;
}

void QuitTest::quitNotification()
{
    QFETCH(bool, inBundle);
    QFETCH(QString, identifier);
    QFETCH(QString, poster);
    QFETCH(QString, posted);
    QFETCH(bool, quits);

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app(inBundle ? AppUnderTest::Layout::Bundle : AppUnderTest::Layout::Plain);
    const QString infoPlist = QFileInfo(app.executablePath()).dir().filePath(QStringLiteral("../Info.plist"));
    if (identifier == QLatin1String("FIFO"))
        QCOMPARE(::mkfifo(QFile::encodeName(infoPlist).constData(), 0600), 0);
    else if (!identifier.isEmpty())
        QVERIFY2(app.writeBundleIdentifier(identifier), qPrintable(app.errorString()));
    QString error;
    QVERIFY2(launchIntoTray(app, watcher, typicalSettings(app), &error), qPrintable(error));
    QVERIFY2(waitForSubscription(app.pid(), notificationInterface, timeouts::launchMs),
        qPrintable(QStringLiteral("expected the app to listen for %1 signals, got no match rule")
                       .arg(notificationInterface)));

    if (poster == QLatin1String("gdbus")) {
        QCOMPARE(gdbusEmit(posted), exitedCleanly);
    } else if (poster == QLatin1String("other bundle")) {
        AppUnderTest other;
        QVERIFY2(other.writeBundleIdentifier(posted), qPrintable(other.errorString()));
        QCOMPARE(
            describe(other.runOnce({ QStringLiteral("--quit-existing") }, timeouts::exitMs)), exitedCleanly);
    } else {
        QCOMPARE(
            describe(app.runOnce({ QStringLiteral("--quit-existing") }, timeouts::exitMs)), exitedCleanly);
    }

    if (quits)
        QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), exitedCleanly);
    else
        QCOMPARE(describe(app.waitForExit(timeouts::stillRunningMs)), stillRunning);
}

void QuitTest::quitFromMenuOrSignal_data()
{
    QTest::addColumn<int>("signal"); // 0: "Quit for this session" clicked

    QTest::newRow("menu") << 0;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void QuitTest::quitFromMenuOrSignal()
{
    QFETCH(int, signal);

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app;
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, watcher, typicalSettings(app), &error);
    QVERIFY2(item, qPrintable(error));

    if (signal == 0)
        QVERIFY2(item->click(QStringLiteral("Quit for this session")), qPrintable(item->errorString()));
    else
        QVERIFY2(app.sendSignal(signal), qPrintable(app.errorString()));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), exitedCleanly);
}

QTEST_MAIN(QuitTest)
// An installer may run it outside any session: it must neither hang nor start a bus
// of its own through the display.
void QuitTest::quitExistingWithoutBus()
{
    AppUnderTest app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath());
    QVERIFY(app.start({ QStringLiteral("--quit-existing") }, environment));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), exitedCleanly);
}

#include "QuitTest.moc"
