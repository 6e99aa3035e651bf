#include "IsolatedSessionBus.h"
#include "XWindows.h"

#include "config/KeyStore.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <optional>

using Attributes = QMap<QString, QString>;
Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

const QString dashboardService = QStringLiteral("com.tovrex.orlinde.dashboard");
const QString dashboardAccount = QStringLiteral("dashboard");
const KeychainItem dashboardKey { dashboardService, dashboardAccount };
const QString secretsName = QStringLiteral("org.freedesktop.secrets");
const char throwawayPassword[] = "pw"; // typed as "p", "w" at the unlock prompt

// Far beyond what a store or a tool takes, far below the 25 s D-Bus timeouts a hang
// would show.
const int storeEndsMs = 10'000;
const int toolMs = 10'000;

// The one-shot mode of the built app, with the key on its standard input, written and
// closed at once: whatever the test waits for next, the app must see its input end.
class StoreRun
{
public:
    explicit StoreRun(const QByteArray &key,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(
            qEnvironmentVariable("ORLINDE_EXECUTABLE"), { QStringLiteral("--store-dashboard-key") });
        process.write(key);
        process.waitForBytesWritten(storeEndsMs);
        process.closeWriteChannel();
    }

    // Ends in time with `status`, having printed nothing on stdout or stderr.
    void finish(int status)
    {
        const bool finished = process.waitForFinished(storeEndsMs);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        QVERIFY2(finished, "the store did not end");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(process.readAll(), QByteArray());
    }

private:
    QProcess process;
};

// secret-tool `command` on the dashboard item's attributes plus `extra`: its standard
// output (for a lookup, the secret's bytes as they are), or nothing when it fails.
std::optional<QByteArray> secretTool(const QStringList &command, const Attributes &extra = {},
    const QByteArray &input = {},
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QStringList arguments = command
        + QStringList { QStringLiteral("service"), dashboardService, QStringLiteral("account"),
              dashboardAccount };
    for (auto attribute = extra.begin(); attribute != extra.end(); ++attribute)
        arguments << attribute.key() << attribute.value();
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("secret-tool"), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(toolMs) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

// The key as the running app reads it: through the event loop, on a keychain of its own.
std::optional<QByteArray> readStoredKey()
{
    platform::Keychain keychain;
    std::optional<std::optional<platform::SecretBytes>> read;
    readKey(keychain, dashboardKey, [&](std::optional<platform::SecretBytes> key) { read = std::move(key); });
    if (!QTest::qWaitFor([&] { return read.has_value(); }, storeEndsMs)) {
        qWarning("the key was not read in time");
        return std::nullopt;
    }
    return *read ? std::optional<QByteArray>((*read)->view().toByteArray()) : std::nullopt;
}

QDBusMessage callSecretService(const QDBusConnection &bus, const QString &method, const QVariant &argument)
{
    QDBusInterface secrets(secretsName, QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), bus);
    return secrets.call(method, argument);
}

// Every item carrying the two attributes, locked or not, as the service lists them;
// -1 when the service does not answer.
int countItems(const QDBusConnection &bus = QDBusConnection::sessionBus())
{
    const QDBusMessage reply = callSecretService(bus, QStringLiteral("SearchItems"),
        QVariant::fromValue(Attributes { { QStringLiteral("service"), dashboardService },
            { QStringLiteral("account"), dashboardAccount } }));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return -1;
    int count = 0;
    for (const QVariant &paths : reply.arguments())
        count += qdbus_cast<QList<QDBusObjectPath>>(paths).size();
    return count;
}

bool lockLoginCollection(const QDBusConnection &bus)
{
    const QList<QDBusObjectPath> collections { QDBusObjectPath("/org/freedesktop/secrets/collection/login") };
    return callSecretService(bus, QStringLiteral("Lock"), QVariant::fromValue(collections)).type()
        == QDBusMessage::ReplyMessage;
}

} // namespace

// The dashboard key in a real keyring, stored through the one-shot command-line mode
// of the built app and read back in-process.
class KeyStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void storeKeepsOneItemWithTheBytes_data();
    void storeKeepsOneItemWithTheBytes();
    void readKeyWithoutItemGivesNothing();
    void storeFailsOnUnreadableInput_data();
    void storeFailsOnUnreadableInput();
    void storeFailsPromptlyWithoutAnsweringService_data();
    void storeFailsPromptlyWithoutAnsweringService();
    void storeIntoLockedKeyring_data();
    void storeIntoLockedKeyring();
};

void KeyStoreTest::initTestCase()
{
    qDBusRegisterMetaType<Attributes>();
    QVERIFY2(!qEnvironmentVariableIsEmpty("ORLINDE_EXECUTABLE"), "ORLINDE_EXECUTABLE is not set");
    QVERIFY2(
        !QStandardPaths::findExecutable(QStringLiteral("secret-tool")).isEmpty(), "secret-tool is missing");
    QVERIFY2(countItems() >= 0, "no Secret Service on the session bus");
}

void KeyStoreTest::init()
{
    // secret-tool reports failure when there was nothing to clear; the count tells.
    secretTool({ QStringLiteral("clear") });
    QCOMPARE(countItems(), 0);
}

void KeyStoreTest::storeKeepsOneItemWithTheBytes_data()
{
    // Items that secret-tool makes first, each with the two attributes plus these.
    QTest::addColumn<QList<Attributes>>("madeElsewhere");
    QTest::addColumn<QList<QByteArray>>("stores");
    QTest::addColumn<std::optional<QByteArray>>("expectedKey");

    const QList<Attributes> none;
    const auto key = [](QByteArray bytes) { return std::optional<QByteArray>(bytes); };
    QTest::newRow("first store") << none << QList<QByteArray> { "abc" } << key("abc");
    QTest::newRow("second store replaces the first")
        << none << QList<QByteArray> { "first", "second" } << key("second");
    // Items made by another tool are replaced in place, every duplicate too.
    QTest::newRow("items made by secret-tool")
        << QList<Attributes> { {}, { { QStringLiteral("origin"), QStringLiteral("other") } } }
        << QList<QByteArray> { "new" } << key("new");
    QTest::newRow("trailing line feed kept") << none << QList<QByteArray> { "abc\n" } << key("abc\n");
    QTest::newRow("empty input stores the empty key") << none << QList<QByteArray> { "" } << key("");
    QTest::newRow("NUL bytes kept") << none << QList<QByteArray> { QByteArray("a\0b", 3) }
                                    << key(QByteArray("a\0b", 3));
    QTest::newRow("non-ASCII UTF-8") << none << QList<QByteArray> { "cl\xc3\xa9" } << key("cl\xc3\xa9");
    QTest::newRow("leading byte order mark kept")
        << none << QList<QByteArray> { "\xef\xbb\xbfkey" } << key("\xef\xbb\xbfkey");
    QTest::newRow("invalid UTF-8 reads as nothing")
        << none << QList<QByteArray> { "\xff\xfe" } << std::optional<QByteArray>();
}

void KeyStoreTest::storeKeepsOneItemWithTheBytes()
{
    QFETCH(QList<Attributes>, madeElsewhere);
    QFETCH(QList<QByteArray>, stores);
    QFETCH(std::optional<QByteArray>, expectedKey);

    for (const Attributes &extra : madeElsewhere)
        QVERIFY(secretTool({ QStringLiteral("store"), QStringLiteral("--label=elsewhere") }, extra, "old"));
    for (const QByteArray &key : stores)
        StoreRun(key).finish(0);
    QCOMPARE(countItems(), std::max<int>(1, madeElsewhere.size()));
    QCOMPARE(secretTool({ QStringLiteral("lookup") }), std::optional<QByteArray>(stores.last()));
    for (const Attributes &extra : madeElsewhere)
        QCOMPARE(secretTool({ QStringLiteral("lookup") }, extra), std::optional<QByteArray>(stores.last()));
    QCOMPARE(readStoredKey(), expectedKey);
}

void KeyStoreTest::readKeyWithoutItemGivesNothing()
{
    QCOMPARE(readStoredKey(), std::optional<QByteArray>());
}

void KeyStoreTest::storeFailsOnUnreadableInput_data()
{
    QTest::addColumn<QString>("redirection");
    QTest::newRow("standard input is a directory") << QStringLiteral("< /");
    QTest::newRow("standard input is closed") << QStringLiteral("<&-");
}

// A read error is not an empty key: the stored key stays as it was.
void KeyStoreTest::storeFailsOnUnreadableInput()
{
    QFETCH(QString, redirection);
    StoreRun("old").finish(0);
    QProcess store;
    store.setProcessChannelMode(QProcess::MergedChannels);
    store.start(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"), QStringLiteral("exec \"$0\" --store-dashboard-key ") + redirection,
            qEnvironmentVariable("ORLINDE_EXECUTABLE") });
    QVERIFY(store.waitForFinished(storeEndsMs));
    QCOMPARE(store.exitCode(), 1);
    QCOMPARE(store.readAll(), QByteArray());
    QCOMPARE(secretTool({ QStringLiteral("lookup") }), std::optional<QByteArray>("old"));
}

void KeyStoreTest::storeFailsPromptlyWithoutAnsweringService_data()
{
    QTest::addColumn<bool>("sessionBus");
    QTest::addColumn<bool>("silentOwner");

    QTest::newRow("no session bus, X display at hand") << false << false;
    QTest::newRow("bus without a Secret Service") << true << false;
    QTest::newRow("Secret Service that never answers") << true << true;
}

void KeyStoreTest::storeFailsPromptlyWithoutAnsweringService()
{
    QFETCH(bool, sessionBus);
    QFETCH(bool, silentOwner);

    IsolatedSessionBus bus;
    QVERIFY2(bus.isRunning(), qPrintable(bus.errorString()));
    if (silentOwner)
        QVERIFY2(bus.startSilentOwner(secretsName), qPrintable(bus.errorString()));
    QProcessEnvironment environment = bus.environment();
    // Without a bus address, a D-Bus library could start a bus of its own through the
    // X display that the desktop session provides.
    if (!sessionBus)
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    StoreRun("key", environment).finish(1);
}

void KeyStoreTest::storeIntoLockedKeyring_data()
{
    QTest::addColumn<bool>("unlockAtPrompt");
    QTest::newRow("password typed at the prompt") << true;
    QTest::newRow("no prompt can be shown") << false;
}

// A locked item is neither "not found" (no second item beside it) nor a reason to give
// up at once: the user may unlock it.
void KeyStoreTest::storeIntoLockedKeyring()
{
    QFETCH(bool, unlockAtPrompt);
    IsolatedSessionBus bus(
        unlockAtPrompt ? IsolatedSessionBus::Prompts::onDisplay : IsolatedSessionBus::Prompts::none);
    QVERIFY2(bus.isRunning(), qPrintable(bus.errorString()));
    QVERIFY2(bus.startKeyring(throwawayPassword), qPrintable(bus.errorString()));
    StoreRun("old", bus.environment()).finish(0);
    QVERIFY(lockLoginCollection(bus.connection()));

    StoreRun store("new", bus.environment());
    if (unlockAtPrompt) {
        const std::optional<QString> prompt
            = xwindows::waitForWindowNamed(QStringLiteral("^Unlock"), storeEndsMs);
        QVERIFY2(prompt, "no unlock prompt appeared");
        QString error;
        for (const char *key : { "p", "w", "Return" })
            QVERIFY2(xwindows::pressKey(*prompt, QString::fromLatin1(key), &error), qPrintable(error));
    }
    store.finish(unlockAtPrompt ? 0 : 1);
    QCOMPARE(countItems(bus.connection()), 1);
    if (unlockAtPrompt)
        QCOMPARE(secretTool({ QStringLiteral("lookup") }, {}, {}, bus.environment()),
            std::optional<QByteArray>("new"));
}

QTEST_GUILESS_MAIN(KeyStoreTest)
#include "tst_keystore.moc"
