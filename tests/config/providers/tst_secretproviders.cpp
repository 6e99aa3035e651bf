#include "AppUnderTest.h"
#include "FakeStatusNotifierWatcher.h"
#include "LaunchIntoTray.h"
#include "Timeouts.h"
#include "TypicalSettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <optional>

// The dashboard key with each real Secret Service provider. Runs inside
// secret-provider.sh, which names the provider and the helper that locks, kills and
// reads its store and plays the person at the screen.

namespace {

const QString openDashboard = QStringLiteral("Open dashboard");
const QString hub = QStringLiteral("http://127.0.0.1:9");
// A person answers a prompt after a few seconds: longer than any bound the app puts
// on a provider that does not answer at all.
const int reactionMs = 5000;
// An operation that shows one prompt or two ends well within this, or it hangs.
const int promptedMs = 2 * reactionMs + 10'000;
// After its provider vanished, an operation has this long to give up.
const int afterVanishingMs = 5000;
const int controlMs = 60'000;

QString provider()
{
    return qEnvironmentVariable("SECRET_PROVIDER");
}

// Printable ASCII as it is, every other byte as \xNN.
QString keyText(const QByteArray &key)
{
    QString text;
    for (const char byte : key) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\')
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
    }
    return text;
}

// The session's helper; its standard output, or nothing (with its complaint in `error`).
std::optional<QByteArray> control(const QStringList &arguments, QString *error = nullptr)
{
    QProcess helper;
    helper.start(qEnvironmentVariable("SECRET_PROVIDER_CONTROL"), arguments);
    const bool finished = helper.waitForFinished(controlMs);
    if (!finished || helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0) {
        if (!finished)
            helper.kill();
        if (error)
            *error = arguments.join(u' ') + QStringLiteral(": ")
                + QString::fromLocal8Bit(helper.readAllStandardError());
        return std::nullopt;
    }
    const QByteArray output = helper.readAllStandardOutput();
    if (!output.isEmpty())
        qInfo().noquote() << arguments.constFirst() << output.trimmed();
    return output;
}

QString keysText(const QList<QByteArray> &keys)
{
    QStringList texts;
    for (const QByteArray &key : keys)
        texts << keyText(key);
    return QLatin1Char('[') + texts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

// The secrets of every dashboard item as the provider holds them, for QCOMPARE:
// "[first\x0a, second]", or the helper's complaint.
QString storedKeys()
{
    QString error;
    const std::optional<QByteArray> lines = control({ QStringLiteral("read") }, &error);
    if (!lines)
        return error;
    QList<QByteArray> keys;
    for (const QByteArray &line : lines->split('\n')) {
        if (!line.isEmpty())
            keys << QByteArray::fromHex(line);
    }
    return keysText(keys);
}

// The person at the screen, answering the provider's prompts by `policy` (see
// provider-control.py) until destroyed.
class Person
{
public:
    explicit Person(const QString &policy)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { readEvents(); });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(qEnvironmentVariable("SECRET_PROVIDER_CONTROL"),
            { QStringLiteral("person"), policy, QString::number(reactionMs) });
        if (!process.waitForStarted())
            qWarning() << "the person did not start:" << process.errorString();
    }
    ~Person()
    {
        process.terminate();
        if (!process.waitForFinished(timeouts::exitMs))
            process.kill();
        readEvents();
        qInfo().noquote() << "prompts:" << (seen.isEmpty() ? QStringLiteral("none") : seen.join(u"; "));
    }
    Person(const Person &) = delete;
    Person &operator=(const Person &) = delete;

    // Lines such as "5012 unlock password Unlock Login Keyring"; `what` is the second word.
    QStringList events(const QString &what) const
    {
        QStringList matching;
        for (const QString &line : seen) {
            if (line.section(u' ', 1, 1) == what)
                matching << line;
        }
        return matching;
    }
    bool waitForPrompt(int timeoutMs)
    {
        return QTest::qWaitFor([&] { return !events(QStringLiteral("shown")).isEmpty(); }, timeoutMs);
    }

private:
    void readEvents()
    {
        while (process.canReadLine())
            seen << QString::fromUtf8(process.readLine()).trimmed();
    }

    QProcess process;
    QStringList seen;
};

// The one-shot store of the built app, with the key on its standard input.
class Store
{
public:
    explicit Store(const QByteArray &key)
    {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(
            qEnvironmentVariable("ORLINDE_EXECUTABLE"), { QStringLiteral("--store-dashboard-key") });
        process.write(key);
        process.closeWriteChannel();
        clock.start();
    }
    ~Store()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    // How the store ended within `timeoutMs`, for QCOMPARE: "exited with status 1", or
    // "still running" (then destroying this kills it). Logs the time it took.
    QString finish(int timeoutMs)
    {
        const bool ended
            = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        const qint64 elapsed = clock.elapsed();
        std::optional<AppExit> exit;
        if (ended)
            exit = AppExit { process.exitStatus(), process.exitCode() };
        const QString outcome = QStringLiteral("%1 after %2 ms").arg(describe(exit)).arg(elapsed);
        qInfo().noquote() << "store" << outcome;
        return describe(exit);
    }

private:
    QProcess process;
    QElapsedTimer clock;
};

QString exited(int status)
{
    return describe(AppExit { QProcess::NormalExit, status });
}

// An xdg-open first on PATH that records each address it is handed, one a line.
class RecordingBrowser
{
public:
    RecordingBrowser()
    {
        QFile script(directory.filePath(QStringLiteral("xdg-open")));
        const QByteArray text = "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$0.calls\"\n";
        valid = script.open(QIODevice::WriteOnly) && script.write(text) == text.size();
        script.close();
        valid = valid && script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        callsPath = script.fileName() + QStringLiteral(".calls");
        withBrowser.insert(QStringLiteral("PATH"),
            directory.path() + QLatin1Char(':') + withBrowser.value(QStringLiteral("PATH")));
    }

    bool isValid() const { return valid; }
    // Ours, with this xdg-open first on PATH.
    QProcessEnvironment environment() const { return withBrowser; }

    QStringList calls() const
    {
        QFile calls(callsPath);
        if (!calls.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(calls.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool waitForCalls(int count, int timeoutMs) const
    {
        return QTest::qWaitFor([&] { return calls().size() >= count; }, timeoutMs);
    }
    void forget() { QFile::remove(callsPath); }

private:
    QTemporaryDir directory;
    QString callsPath;
    QProcessEnvironment withBrowser = QProcessEnvironment::systemEnvironment();
    bool valid = false;
};

} // namespace

class SecretProvidersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void storesAndOpensKey_data();
    void storesAndOpensKey();

    void storesRepeatedly();
    void storeIntoLockedStore_data();
    void storeIntoLockedStore();
    void openDashboardWithLockedStore_data();
    void openDashboardWithLockedStore();
    void providerKilledDuringPrompt_data();
    void providerKilledDuringPrompt();
    void promptLeftUnansweredAtLogout();
    void accessRememberedForTheAppRun();

private:
    // The provider as a case wants it (`settings`: KeePassXC's, see provider-control.py),
    // holding `key` unless it is empty; false with the reason in `error`.
    bool prepare(const QStringList &settings, const QByteArray &key, QString *error);
    // The app running in the tray, handing addresses to the recording browser.
    std::optional<TrayItem> launch(AppUnderTest &app);

    std::unique_ptr<FakeStatusNotifierWatcher> watcher;
    RecordingBrowser browser;
    QElapsedTimer caseClock;
};

void SecretProvidersTest::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("ORLINDE_EXECUTABLE"), "ORLINDE_EXECUTABLE is not set");
    QVERIFY2(!qEnvironmentVariableIsEmpty("SECRET_PROVIDER_CONTROL"), "run me in secret-provider.sh");
    QVERIFY2(browser.isValid(), "cannot write the recording xdg-open");
    watcher = std::make_unique<FakeStatusNotifierWatcher>();
    QVERIFY2(watcher->isRegistered(), qPrintable(watcher->errorString()));
}

void SecretProvidersTest::init()
{
    browser.forget();
    caseClock.start();
}

void SecretProvidersTest::cleanup()
{
    qInfo() << "case took" << caseClock.elapsed() << "ms";
}

bool SecretProvidersTest::prepare(const QStringList &settings, const QByteArray &key, QString *error)
{
    if (!control(QStringList { QStringLiteral("reset") } + settings, error))
        return false;
    // Storing over nothing needs no answer from anyone, with any provider.
    if (const QString stored = key.isEmpty() ? exited(0) : Store(key).finish(promptedMs);
        stored != exited(0)) {
        *error = QStringLiteral("storing the first key: ") + stored;
        return false;
    }
    return true;
}

std::optional<TrayItem> SecretProvidersTest::launch(AppUnderTest &app)
{
    QString error;
    std::optional<TrayItem> item
        = launchIntoTray(app, *watcher, typicalSettings(app), &error, browser.environment());
    if (!item)
        qWarning().noquote() << error;
    return item;
}

void SecretProvidersTest::storesAndOpensKey_data()
{
    QTest::addColumn<QList<QByteArray>>("stores");
    QTest::addColumn<QString>("opened"); // empty: the key makes no address

    QTest::newRow("new key: bytes kept, trailing line feed and non-UTF-8")
        << QList<QByteArray> { "k\xff\xfe y\n" } << QString();
    QTest::newRow("new key: Open dashboard opens it") << QList<QByteArray> { "abc" } << hub + "/#abc";
    QTest::newRow("replaced key: one item, the new bytes, Open dashboard opens it")
        << QList<QByteArray> { "first\n", "second" } << hub + "/#second";
}

void SecretProvidersTest::storesAndOpensKey()
{
    QFETCH(QList<QByteArray>, stores);
    QFETCH(QString, opened);

    QString error;
    QVERIFY2(prepare({}, {}, &error), qPrintable(error));
    {
        // KeePassXC asks whether the app may use an item it did not create itself.
        const Person person(QStringLiteral("unlock"));
        for (const QByteArray &key : stores)
            QCOMPARE(Store(key).finish(promptedMs), exited(0));
    }
    QCOMPARE(storedKeys(), keysText({ stores.last() }));

    if (opened.isEmpty())
        return;
    const Person person(QStringLiteral("unlock"));
    AppUnderTest app;
    std::optional<TrayItem> item = launch(app);
    QVERIFY(item);
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(browser.waitForCalls(1, promptedMs), "the browser was never called");
    QCOMPARE(browser.calls(), QStringList { opened });
}

// An installer may store again and again; a provider's passing glitch (kwalletd now and
// then forgets a transfer session it has just opened) must not fail a store.
void SecretProvidersTest::storesRepeatedly()
{
    if (provider() == QLatin1String("keepassxc"))
        QSKIP("KeePassXC asks a person for each new client");
    QString error;
    QVERIFY2(prepare({}, {}, &error), qPrintable(error));
    const int stores = 200;
    int failed = 0;
    for (int n = 1; n <= stores; ++n) {
        if (Store("key" + QByteArray::number(n)).finish(promptedMs) != exited(0))
            ++failed;
    }
    QCOMPARE(failed, 0);
    QCOMPARE(storedKeys(), keysText({ "key" + QByteArray::number(stores) }));
}

void SecretProvidersTest::storeIntoLockedStore_data()
{
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QString>("policy");

    const QStringList defaults;
    const QStringList hiddenWhileLocked { QStringLiteral("UnlockBeforeSearch=false") };
    QTest::newRow("person unlocks") << defaults << QStringLiteral("unlock");
    QTest::newRow("person cancels") << defaults << QStringLiteral("cancel");
    QTest::newRow("KeePassXC without unlock before search, person unlocks")
        << hiddenWhileLocked << QStringLiteral("unlock");
    QTest::newRow("KeePassXC without unlock before search, person cancels")
        << hiddenWhileLocked << QStringLiteral("cancel");
}

// A locked store is unlocked by the person, or the store fails leaving the old key:
// never a second item, never a success that stored nothing.
void SecretProvidersTest::storeIntoLockedStore()
{
    QFETCH(QStringList, settings);
    QFETCH(QString, policy);
    const bool unlocks = policy == QLatin1String("unlock");

    if (!settings.isEmpty() && provider() != QLatin1String("keepassxc"))
        QSKIP("a KeePassXC setting");
    QString error;
    QVERIFY2(prepare(settings, "old", &error), qPrintable(error));
    QVERIFY2(control({ QStringLiteral("lock") }, &error), qPrintable(error));
    {
        const Person person(policy);
        QCOMPARE(Store("new").finish(promptedMs), exited(unlocks ? 0 : 1));
        QVERIFY2(!person.events(policy).isEmpty(), "the store ended before the person answered");
    }
    QCOMPARE(storedKeys(), keysText({ unlocks ? "new" : "old" }));
    if (!unlocks)
        return;

    const Person person(QStringLiteral("unlock"));
    AppUnderTest app;
    std::optional<TrayItem> item = launch(app);
    QVERIFY(item);
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(browser.waitForCalls(1, promptedMs), "the browser was never called");
    QCOMPARE(browser.calls(), QStringList { hub + "/#new" });
}

void SecretProvidersTest::openDashboardWithLockedStore_data()
{
    QTest::addColumn<QStringList>("settings");
    QTest::newRow("person unlocks") << QStringList();
    QTest::newRow("KeePassXC without unlock before search, person unlocks")
        << QStringList { QStringLiteral("UnlockBeforeSearch=false") };
}

void SecretProvidersTest::openDashboardWithLockedStore()
{
    QFETCH(QStringList, settings);

    if (!settings.isEmpty() && provider() != QLatin1String("keepassxc"))
        QSKIP("a KeePassXC setting");
    QString error;
    QVERIFY2(prepare(settings, "abc", &error), qPrintable(error));
    QVERIFY2(control({ QStringLiteral("lock") }, &error), qPrintable(error));
    const Person person(QStringLiteral("unlock"));
    AppUnderTest app;
    std::optional<TrayItem> item = launch(app);
    QVERIFY(item);
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    const bool called = browser.waitForCalls(1, promptedMs);
    qInfo() << "browser called:" << called << "after" << clock.elapsed() << "ms";
    QVERIFY2(called, "the browser was never called");
    QCOMPARE(browser.calls(), QStringList { hub + "/#abc" });
}

void SecretProvidersTest::providerKilledDuringPrompt_data()
{
    QTest::addColumn<bool>("locked"); // the prompt unlocks the store, or allows access
    QTest::addColumn<bool>("inTray"); // Open dashboard in the running app, or the one-shot store
    QTest::newRow("unlock prompt, one-shot store") << true << false;
    QTest::newRow("unlock prompt, Open dashboard") << true << true;
    QTest::newRow("KeePassXC access request, one-shot store") << false << false;
    QTest::newRow("KeePassXC access request, Open dashboard") << false << true;
}

// A provider that vanishes while its prompt is up fails the operation; it does not
// take the app with it.
void SecretProvidersTest::providerKilledDuringPrompt()
{
    QFETCH(bool, locked);
    QFETCH(bool, inTray);

    if (!locked && provider() != QLatin1String("keepassxc"))
        QSKIP("only KeePassXC asks for access per client");
    QString error;
    QVERIFY2(prepare({}, "old", &error), qPrintable(error));
    if (locked)
        QVERIFY2(control({ QStringLiteral("lock") }, &error), qPrintable(error));
    std::optional<Person> person(std::in_place, QStringLiteral("watch"));
    AppUnderTest app;
    std::optional<TrayItem> item;
    std::optional<Store> store;
    if (inTray) {
        item = launch(app);
        QVERIFY(item);
        QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    } else {
        store.emplace("new");
    }
    QVERIFY2(person->waitForPrompt(promptedMs), "the provider showed no prompt");
    QVERIFY2(control({ QStringLiteral("kill") }, &error), qPrintable(error));
    QElapsedTimer clock;
    clock.start();

    if (!inTray) {
        const QString ended = store->finish(afterVanishingMs);
        qInfo() << "store ended (or was given up)" << clock.elapsed() << "ms after the kill";
        QCOMPARE(ended, exited(1));
        return;
    }
    QVERIFY2(app.isRunning(), qPrintable(describe(app.waitForExit(0))));
    const bool answered = item->menu().has_value();
    qInfo() << "menu answered:" << answered << clock.elapsed() << "ms after the kill";
    QVERIFY2(answered, qPrintable(item->errorString()));

    // The provider back (as a new login would start it): the app connects again.
    QVERIFY2(prepare({}, "again", &error), qPrintable(error));
    person.emplace(QStringLiteral("unlock"));
    // The click before the kill opened the dashboard without the key.
    browser.forget();
    QVERIFY2(app.isRunning(), qPrintable(describe(app.waitForExit(0))));
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(browser.waitForCalls(1, promptedMs), "the browser was never called");
    QCOMPARE(browser.calls(), QStringList { hub + "/#again" });
    QVERIFY(app.sendSignal(SIGTERM));
    QCOMPARE(describe(app.waitForExit(1000)), exited(0));
}

// While the keyring waits for a person, the app goes on: its menu answers, a second
// click adds nothing, and logging out (SIGTERM) ends it at once and withdraws the prompt.
void SecretProvidersTest::promptLeftUnansweredAtLogout()
{
    QString error;
    QVERIFY2(prepare({}, "old", &error), qPrintable(error));
    QVERIFY2(control({ QStringLiteral("lock") }, &error), qPrintable(error));
    Person person(QStringLiteral("watch"));
    AppUnderTest app;
    std::optional<TrayItem> item = launch(app);
    QVERIFY(item);
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(person.waitForPrompt(promptedMs), "the provider showed no prompt");
    QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
    QVERIFY2(item->menu(), qPrintable(item->errorString()));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(app.sendSignal(SIGTERM));
    QCOMPARE(describe(app.waitForExit(1000)), exited(0));
    qInfo() << "ended" << clock.elapsed() << "ms after SIGTERM";
    QCOMPARE(person.events(QStringLiteral("shown")).size(), 1);
    QVERIFY2(browser.calls().isEmpty(), qPrintable(browser.calls().join(u' ')));
    // KeePassXC and KWallet leave their own dialogs up when a client withdraws the prompt.
    if (provider() != QLatin1String("gnome-keyring"))
        return;
    const bool withdrawn = QTest::qWaitFor(
        [&] { return !person.events(QStringLiteral("closed")).isEmpty(); }, afterVanishingMs);
    qInfo() << "prompt withdrawn:" << withdrawn << clock.elapsed() << "ms after SIGTERM";
    QVERIFY2(withdrawn, "the prompt stayed up after the app ended");
}

// KeePassXC asks whether a client may use an item; "Remember" answers for the rest
// of that client's connection, which the running app keeps.
void SecretProvidersTest::accessRememberedForTheAppRun()
{
    if (provider() != QLatin1String("keepassxc"))
        QSKIP("only KeePassXC asks for access per client");
    QString error;
    QVERIFY2(prepare({}, "abc", &error), qPrintable(error));
    const Person person(QStringLiteral("unlock"));
    AppUnderTest app;
    std::optional<TrayItem> item = launch(app);
    QVERIFY(item);
    for (int click = 1; click <= 2; ++click) {
        QVERIFY2(item->click(openDashboard), qPrintable(item->errorString()));
        QVERIFY2(browser.waitForCalls(click, promptedMs), "the browser was not called");
    }
    QCOMPARE(browser.calls(), QStringList(2, hub + "/#abc"));
    QCOMPARE(person.events(QStringLiteral("shown")).size(), 1);
}

QTEST_GUILESS_MAIN(SecretProvidersTest)
#include "tst_secretproviders.moc"
