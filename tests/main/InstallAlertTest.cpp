#include "AccessibleTexts.h"
#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "Timeouts.h"
#include "TypicalSettings.h"
#include "XWindows.h"

#include <QDir>
#include <QJsonDocument>
#include <QTest>
#include <sys/stat.h>

// Without usable settings the app is not installed: it tells the person so in an
// alert, never shows a tray item, and ends cleanly once the alert is dismissed.
class InstallAlertTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void alertInsteadOfTray_data();
    void alertInsteadOfTray();
};

void InstallAlertTest::initTestCase()
{
    // The alert's text is not on the X server; it is read the way a screen reader does.
    QString error;
    QVERIFY2(accessibility::enable(&error), qPrintable(error));
}

void InstallAlertTest::alertInsteadOfTray_data()
{
    QTest::addColumn<bool>("inBundle");
    QTest::addColumn<QString>("settings"); // "absent", "directory", "bytes" or "without"
    QTest::addColumn<QByteArray>("detail"); // the bytes, or the key left out

    QTest::newRow("no settings.json in the bundle") << true << "absent" << QByteArray();
    QTest::newRow("no settings.json beside the executable") << false << "absent" << QByteArray();
    QTest::newRow("settings.json is a directory") << true << "directory" << QByteArray();
    // A FIFO would block the open for as long as nobody writes to it.
    QTest::newRow("settings.json is a FIFO") << true << "FIFO" << QByteArray();
    QTest::newRow("invalid JSON") << true << "bytes" << QByteArray(R"({"node": "/usr/bin/node", )");
    // One missing key stands for all: the settings table checks each of them.
    QTest::newRow("no appExecutable") << true << "without" << QByteArray("appExecutable");
}

void InstallAlertTest::alertInsteadOfTray()
{
    QFETCH(bool, inBundle);
    QFETCH(QString, settings);
    QFETCH(QByteArray, detail);

    FakeStatusNotifierWatcher watcher;
    QVERIFY2(watcher.isRegistered(), qPrintable(watcher.errorString()));
    AppUnderTest app(inBundle ? AppUnderTest::Layout::Bundle : AppUnderTest::Layout::Plain);
    QVERIFY2(app.isValid(), qPrintable(app.errorString()));
    if (settings == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(app.settingsPath()));
    } else if (settings == QLatin1String("FIFO")) {
        QCOMPARE(::mkfifo(QFile::encodeName(app.settingsPath()).constData(), 0600), 0);
    } else if (settings == QLatin1String("bytes")) {
        QVERIFY2(app.writeSettings(detail), qPrintable(app.errorString()));
    } else if (settings == QLatin1String("without")) {
        QJsonObject incomplete = typicalSettings(app);
        incomplete.remove(QString::fromLatin1(detail));
        QVERIFY2(app.writeSettings(QJsonDocument(incomplete).toJson()), qPrintable(app.errorString()));
    }
    QVERIFY2(app.start(), qPrintable(app.errorString()));

    const std::optional<QString> alert = xwindows::waitForWindowOf(app.pid(), timeouts::launchMs);
    QVERIFY2(alert, qPrintable(QStringLiteral("no alert window; app ") + describe(app.waitForExit(0))));
    const QString message = QStringLiteral("Install Orlinde first");
    const QString informative
        = QStringLiteral("Open Install App.command from the top level of the extracted ZIP "
                         "folder. That installer pairs this computer and installs the app.");
    QStringList texts;
    const bool readable = QTest::qWaitFor(
        [&] {
            texts = accessibility::textsOf(app.pid());
            return texts.contains(message) && texts.contains(informative);
        },
        timeouts::launchMs);
    QVERIFY2(readable, qPrintable(texts.join(QStringLiteral(" | "))));
    QCOMPARE(watcher.registrationLog(), QStringList());

    QString error;
    QVERIFY2(xwindows::pressKey(*alert, QStringLiteral("Return"), &error), qPrintable(error));
    QCOMPARE(describe(app.waitForExit(timeouts::exitMs)), QStringLiteral("exited with status 0"));
    QCOMPARE(watcher.registrationLog(), QStringList());
}

QTEST_MAIN(InstallAlertTest)
#include "InstallAlertTest.moc"
