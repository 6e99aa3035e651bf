#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "ProcessMemory.h"
#include "Timeouts.h"
#include "TypicalSettings.h"

#include <QDir>
#include <QFile>
#include <QJsonValue>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <optional>

Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

const QString openDashboard = QStringLiteral("Open dashboard");
const QString typicalHub = QStringLiteral("http://127.0.0.1:9");

// The user's browser as the desktop reaches it: an xdg-open earlier on PATH that
// records each call's arguments, one call a line, as "<count>:<first argument>".
const char recordingXdgOpen[] = "#!/bin/sh\nprintf '%s\\n' \"$#:$1\" >> \"$0.calls\"\n";

void clearKey()
{
    QProcess clear;
    clear.start(QStringLiteral("secret-tool"),
        { QStringLiteral("clear"), QStringLiteral("service"), QStringLiteral("com.tovrex.orlinde.dashboard"),
            QStringLiteral("account"), QStringLiteral("dashboard") });
    clear.waitForFinished(timeouts::exitMs);
}

// As the installer does it.
bool storeKey(AppUnderTest &app, const QByteArray &key)
{
    const std::optional<AppExit> exit
        = app.runOnce({ QStringLiteral("--store-dashboard-key") }, timeouts::exitMs, key);
    return exit && exit->status == QProcess::NormalExit && exit->code == 0;
}

} // namespace

// "Open dashboard" in the tray menu hands the dashboard address to the desktop's
// browser, with the key from the real keyring.
class OpenDashboardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void opensAddress_data();
    void opensAddress();
    void keyNeverWrittenOut_data();
    void keyNeverWrittenOut();
    void keyNotLeftInMemory();

private:
    QStringList browserCalls() const;
    bool waitForBrowserCalls(int count) const;

    QTemporaryDir browserDirectory;
    QString callsPath;
    // Ours, with the recording xdg-open first on PATH.
    QProcessEnvironment browserEnvironment = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<FakeStatusNotifierWatcher> watcher;
};

void OpenDashboardTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("ORLINDE_EXECUTABLE"), "ORLINDE_EXECUTABLE is not set");
    QVERIFY(browserDirectory.isValid());
    const QString xdgOpen = browserDirectory.filePath(QStringLiteral("xdg-open"));
    QFile script(xdgOpen);
    QVERIFY(script.open(QIODevice::WriteOnly));
    QVERIFY(script.write(recordingXdgOpen) > 0);
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    callsPath = xdgOpen + QStringLiteral(".calls");
    browserEnvironment.insert(QStringLiteral("PATH"),
        browserDirectory.path() + QLatin1Char(':') + browserEnvironment.value(QStringLiteral("PATH")));

    watcher = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY2(watcher->isRegistered(), qPrintable(watcher->errorString()));
}

void OpenDashboardTest::init()
{
    QFile::remove(callsPath);
}

QStringList OpenDashboardTest::browserCalls() const
{
    QFile calls(callsPath);
    if (!calls.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(calls.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool OpenDashboardTest::waitForBrowserCalls(int count) const
{
    return QTest::qWaitFor([&] { return browserCalls().size() >= count; }, timeouts::launchMs);
}

void OpenDashboardTest::opensAddress_data()
{
    // The address itself is DashboardAddress's table; here, the wiring to keyring and browser.
    QTest::addColumn<QString>("hub");
    QTest::addColumn<QJsonValue>("product"); // undefined: left out of settings.json
    QTest::addColumn<std::optional<QByteArray>>("storedKey");
    QTest::addColumn<QString>("opened"); // empty: nothing is opened

    const QJsonValue absent(QJsonValue::Undefined);
    const std::optional<QByteArray> noKey;
    auto key = [](const char *bytes) { return std::optional<QByteArray>(bytes); };

    QTest::newRow("key stored") << typicalHub << absent << key("abc") << "http://127.0.0.1:9/#abc";
    QTest::newRow("product true, key stored: no #")
        << typicalHub << QJsonValue(true) << key("abc") << "http://127.0.0.1:9/";
    QTest::newRow("no key") << typicalHub << absent << noKey << "http://127.0.0.1:9/";
    QTest::newRow("key with a trailing line feed: nothing opened")
        << typicalHub << absent << key("abc\n") << QString();
}

void OpenDashboardTest::opensAddress()
{
    QFETCH(QString, hub);
    QFETCH(QJsonValue, product);
    QFETCH(std::optional<QByteArray>, storedKey);
    QFETCH(QString, opened);

    clearKey();
    AppUnderTest app;
    if (storedKey)
        QVERIFY2(storeKey(app, *storedKey), "the key could not be stored");
    QJsonObject settings = typicalSettings(app);
    settings.insert(QStringLiteral("hub"), hub);
    if (!product.isUndefined())
        settings.insert(QStringLiteral("product"), product);
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, *watcher, settings, &error, browserEnvironment);
    QVERIFY2(item, qPrintable(error));

    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    if (opened.isEmpty()) {
        // Nothing to wait for but the keyring's answer: with a usable key stored, clicks
        // (one at a time) go on until one opens it. That shows the key is read afresh,
        // and that the first click opened nothing.
        QVERIFY2(storeKey(app, "after"), "the key could not be stored");
        const bool called = QTest::qWaitFor(
            [&] { return !browserCalls().isEmpty() || !item->click(openDashboard); }, timeouts::launchMs);
        QVERIFY2(called && !browserCalls().isEmpty(), "the browser was never called");
        const QStringList calls = browserCalls();
        QCOMPARE(QSet<QString>(calls.cbegin(), calls.cend()),
            QSet<QString> { QStringLiteral("1:") + hub + QStringLiteral("/#after") });
        return;
    }
    // Nothing is remembered between activations: a second click opens it again.
    QVERIFY2(waitForBrowserCalls(1), "the browser was never called");
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(
        waitForBrowserCalls(2), qPrintable(QStringLiteral("browser calls: ") + browserCalls().join(u' ')));
    const QString call = QStringLiteral("1:") + opened;
    QCOMPARE(browserCalls(), (QStringList { call, call }));
}

void OpenDashboardTest::keyNeverWrittenOut_data()
{
    QTest::addColumn<bool>("withOpener");
    // As xdg-open does without a browser: it names the address on its standard error.
    QTest::newRow("an opener that complains") << true;
    // Qt then names the address in a warning of its own.
    QTest::newRow("no opener at all") << false;
}

// At login the app's output is a log file; the key must never reach it.
void OpenDashboardTest::keyNeverWrittenOut()
{
    QFETCH(bool, withOpener);
    const QByteArray key = "s3cr3t-dashboard-key";
    QTemporaryDir scratch;
    const QString called = scratch.filePath(QStringLiteral("called"));
    QFile opener(scratch.filePath(QStringLiteral("xdg-open")));
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\necho \"xdg-open: no method available for opening '$1'\" | /usr/bin/tee "
                 "/dev/stderr\n/usr/bin/touch \""
        + QFile::encodeName(called) + "\"\nexit 3\n");
    opener.close();
    QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("BROWSER"));
    environment.remove(QStringLiteral("DEFAULT_BROWSER"));
    const QString emptyDirectory = scratch.filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(emptyDirectory));
    environment.insert(QStringLiteral("PATH"), withOpener ? scratch.path() : emptyDirectory);

    clearKey();
    AppUnderTest app;
    QVERIFY2(storeKey(app, key), "the key could not be stored");
    const QString output = scratch.filePath(QStringLiteral("output"));
    app.captureOutputIn(output);
    QString error;
    std::optional<TrayItem> item = launchIntoTray(app, *watcher, typicalSettings(app), &error, environment);
    QVERIFY2(item, qPrintable(error));
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    // The opener ran, or the app said it found none.
    const bool tried = QTest::qWaitFor(
        [&] {
            QFile written(output);
            return withOpener
                ? QFile::exists(called)
                : written.open(QIODevice::ReadOnly) && written.readAll().contains("no application");
        },
        timeouts::launchMs);
    QVERIFY2(tried, "the address was never handed over");
    QVERIFY(app.sendSignal(SIGTERM));
    QVERIFY(app.waitForExit(timeouts::exitMs));

    QFile written(output);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray everything = written.readAll();
    QVERIFY2(!everything.contains(key), everything.constData());
}

// Once the address is handed over, neither the key nor the address holding it is left
// in the app's memory, in any encoding it could have been kept in.
void OpenDashboardTest::keyNotLeftInMemory()
{
    const QByteArray key = "Kq7-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + "-zV";
    clearKey();
    AppUnderTest app;
    QVERIFY2(storeKey(app, key), "the key could not be stored");
    QString error;
    std::optional<TrayItem> item
        = launchIntoTray(app, *watcher, typicalSettings(app), &error, browserEnvironment);
    QVERIFY2(item, qPrintable(error));
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(waitForBrowserCalls(1), "the browser was never called");
    QCOMPARE(browserCalls(), QStringList { QStringLiteral("1:") + typicalHub + QStringLiteral("/#") + key });

    const QString text = QString::fromLatin1(key);
    const QByteArray utf16(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    const std::optional<int> asBytes = occurrencesInMemory(app.pid(), key, &error);
    QVERIFY2(asBytes, qPrintable(error));
    const std::optional<int> asText = occurrencesInMemory(app.pid(), utf16, &error);
    QVERIFY2(asText, qPrintable(error));
    qInfo() << "copies of the key in the app's memory:" << *asBytes << "as bytes," << *asText << "as UTF-16";
    QCOMPARE(*asBytes + *asText, 0);
}

QTEST_MAIN(OpenDashboardTest)
#include "tst_opendashboard.moc"
