#include "AppUnderTest.h"
#include "Timeouts.h"
#include "TypicalSettings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The display server or the session bus going away is the session ending (a logout on
// a desktop without systemd): the app stops its collector and exits 0, leaving no
// orphan to run beside the next login's.
class SessionEndTest : public QObject
{
    Q_OBJECT

private slots:
    void collectorStopsWithTheSession_data();
    void collectorStopsWithTheSession();
    void noDisplayIsAConfigurationError_data();
    void noDisplayIsAConfigurationError();
    void bareXServerIsNotResetByTheStart();
};

void SessionEndTest::collectorStopsWithTheSession_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("X server") << QStringLiteral("X server");
    QTest::newRow("Wayland compositor") << QStringLiteral("Wayland compositor");
    QTest::newRow("session bus") << QStringLiteral("session bus");
}

void SessionEndTest::collectorStopsWithTheSession()
{
    QFETCH(QString, ending);
    QTemporaryDir scratch;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    if (ending == QLatin1String("X server")) {
        server.start(QStringLiteral("Xvfb"),
            { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp") });
        QVERIFY(server.waitForReadyRead(timeouts::launchMs));
        environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + server.readLine().trimmed());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    } else if (ending == QLatin1String("Wayland compositor")) {
        const QString socket = QStringLiteral("wayland-ending-%1").arg(QCoreApplication::applicationPid());
        server.start(QStringLiteral("weston"),
            { QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--socket=") + socket,
                QStringLiteral("--idle-time=0") });
        const QString path = qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + socket;
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(path); }, timeouts::launchMs));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    } else {
        server.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1") });
        QVERIFY(server.waitForReadyRead(timeouts::launchMs));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), server.readLine().trimmed());
    }
    QVERIFY2(server.state() == QProcess::Running, qPrintable(server.readAllStandardError()));

    AppUnderTest app;
    QVERIFY(installNotingCollector(app));
    QVERIFY(app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()));
    const QString output = scratch.filePath(QStringLiteral("output"));
    app.captureOutputIn(output);
    const auto showOutputOnFailure = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "the app's output:\n" + contentsOf(output);
    });
    QVERIFY(app.start({}, environment));
    const QString launches = app.rootPath() + QStringLiteral("/launches");
    QVERIFY(QTest::qWaitFor([&] { return contentsOf(launches).endsWith('\n'); }, timeouts::launchMs));

    server.terminate();
    QVERIFY(server.waitForFinished(timeouts::exitMs));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    QVERIFY(QTest::qWaitFor(
        [&] { return contentsOf(app.rootPath() + QStringLiteral("/signals")) == contentsOf(launches); },
        timeouts::exitMs));
    // The toolkit may see the display go on one of its own threads; the ending still runs
    // on the main thread, or Qt complains of objects touched from another thread (and two
    // such threads racing each other have let the collector outlive us).
    QVERIFY2(!contentsOf(output).contains("another thread"), contentsOf(output).constData());
}

void SessionEndTest::noDisplayIsAConfigurationError_data()
{
    QTest::addColumn<QString>("display"); // empty: neither DISPLAY nor WAYLAND_DISPLAY
    QTest::newRow("no display at all") << QString();
    QTest::newRow("an X display that is not there") << QStringLiteral(":9999");
}

// A login service manager that never imported the display starts us without one:
// retrying cannot help, so the exit says so (78, which the login unit does not retry)
// in one line, where the toolkit would abort and leave a core dump.
void SessionEndTest::noDisplayIsAConfigurationError()
{
    QFETCH(QString, display);
    QTemporaryDir scratch;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        environment.remove(QLatin1String(name));
    if (!display.isEmpty())
        environment.insert(QStringLiteral("DISPLAY"), display);
    AppUnderTest app;
    QVERIFY(installNotingCollector(app));
    QVERIFY(app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()));
    app.captureOutputIn(scratch.filePath(QStringLiteral("output")));
    QVERIFY(app.start({}, environment));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 78"));
    const QByteArray output = contentsOf(scratch.filePath(QStringLiteral("output")));
    QCOMPARE(output.count('\n'), 1);
    QVERIFY2(output.startsWith("Orlinde: "), output.constData());
    QVERIFY(!QFile::exists(app.rootPath() + QStringLiteral("/launches")));
}

// An X server started without -noreset (xinit's, say) resets as its last client leaves,
// dropping whoever connects at that moment. The app, its first client, checks that the
// display answers before the toolkit connects; that check must not be the last client
// to leave, or the toolkit's connection fails now and then and the app aborts.
void SessionEndTest::bareXServerIsNotResetByTheStart()
{
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    // Audit level 4 logs each client's connection and disconnection.
    server.start(QStringLiteral("Xvfb"),
        { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
            QStringLiteral("-audit"), QStringLiteral("4") });
    QVERIFY(server.waitForReadyRead(timeouts::launchMs));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + server.readLine().trimmed());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));

    AppUnderTest app;
    QVERIFY(installNotingCollector(app));
    QVERIFY(app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()));
    QVERIFY(app.start({}, environment));
    const QString launches = app.rootPath() + QStringLiteral("/launches");
    QVERIFY(QTest::qWaitFor([&] { return contentsOf(launches).endsWith('\n'); }, timeouts::launchMs));

    int connected = 0;
    QStringList audit;
    for (const QByteArray &line : server.readAllStandardError().split('\n')) {
        if (!line.startsWith("AUDIT:"))
            continue;
        audit << QString::fromUtf8(line);
        if (line.contains(" connected from "))
            ++connected;
        else if (line.endsWith(" disconnected") && --connected == 0)
            QFAIL(qPrintable(QStringLiteral("the server was left without clients (a reset):\n") + audit.join(u'\n')));
    }
    QVERIFY2(connected > 0, "the app never connected");

    QVERIFY(app.sendSignal(SIGTERM));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    server.terminate();
    QVERIFY(server.waitForFinished(timeouts::exitMs));
}

QTEST_MAIN(SessionEndTest)
#include "SessionEndTest.moc"
