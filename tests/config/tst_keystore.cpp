#include "IsolatedSessionBus.h"
#include "XWindows.h"

#include "config/KeyStore.h"

#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <optional>

using Attributes = QMap<QString, QString>;
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(IsolatedSessionBus::Prompts)

namespace {

const QString dashboardService = QStringLiteral("com.tovrex.orlinde.dashboard");
const QString dashboardAccount = QStringLiteral("dashboard");
const QString secretsName = QStringLiteral("org.freedesktop.secrets");
const char throwawayPassword[] = "pw";

// Far beyond what a store or a tool takes, far below the 25 s D-Bus timeouts a hang
// would show.
const int storeEndsMs = 10'000;
const int toolMs = 10'000;

struct Run
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output; // stdout and stderr together: both must stay empty
    qint64 elapsedMs = 0;
};

// The one-shot mode of the built app, with the key on its standard input.
class StoreRun
{
public:
    StoreRun(const QByteArray &key, const QProcessEnvironment &environment)
    {
        clock.start();
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(
            qEnvironmentVariable("ORLINDE_EXECUTABLE"), { QStringLiteral("--store-dashboard-key") });
        // Written and closed now: whatever the test waits for next, the app must see
        // its input end.
        process.write(key);
        process.waitForBytesWritten(storeEndsMs);
        process.closeWriteChannel();
    }

    Run finish()
    {
        Run run;
        run.finished = process.waitForFinished(storeEndsMs);
        run.elapsedMs = clock.elapsed();
        if (!run.finished) {
            process.kill();
            process.waitForFinished();
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.output = process.readAll();
        return run;
    }

private:
    QElapsedTimer clock;
    QProcess process;
};

Run storeDashboardKey(
    const QByteArray &key, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return StoreRun(key, environment).finish();
}

// secret-tool's attribute arguments for the dashboard item, plus `extra`.
QStringList dashboardAttributes(const Attributes &extra = {})
{
    QStringList arguments { QStringLiteral("service"), dashboardService, QStringLiteral("account"),
        dashboardAccount };
    for (auto attribute = extra.begin(); attribute != extra.end(); ++attribute)
        arguments << attribute.key() << attribute.value();
    return arguments;
}

// secret-tool's standard output, or nothing when it fails.
std::optional<QByteArray> runSecretTool(const QStringList &arguments, const QByteArray &input = {},
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("secret-tool"), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(toolMs) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

// What another program sees: secret-tool prints the secret's bytes as they are.
std::optional<QByteArray> lookUpWithSecretTool(const Attributes &extra = {},
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return runSecretTool(
        QStringList { QStringLiteral("lookup") } + dashboardAttributes(extra), {}, environment);
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

namespace QTest {
template <> char *toString(const std::optional<QString> &text)
{
    return text ? toString(*text) : qstrdup("nothing");
}
template <> char *toString(const std::optional<QByteArray> &bytes)
{
    return bytes ? toString(*bytes) : qstrdup("nothing");
}
} // namespace QTest

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
    service = dashboardService;
    account = dashboardAccount;
}

void KeyStoreTest::init()
{
    // secret-tool reports failure when there was nothing to clear; the count tells.
    runSecretTool(QStringList { QStringLiteral("clear") } + dashboardAttributes());
    QCOMPARE(countItems(), 0);
}

void KeyStoreTest::storeKeepsOneItemWithTheBytes_data()
{
    // Items that secret-tool makes first, each with the two attributes plus these.
    QTest::addColumn<QList<Attributes>>("madeElsewhere");
    QTest::addColumn<QList<QByteArray>>("stores");
    QTest::addColumn<std::optional<QString>>("expectedKey");

    const QList<Attributes> none;
    const QList<Attributes> bySecretTool { Attributes {} };
    QTest::newRow("first store") << none << QList<QByteArray> { "abc" } << std::optional<QString>("abc");
    QTest::newRow("second store replaces the first")
        << none << QList<QByteArray> { "first", "second" } << std::optional<QString>("second");
    QTest::newRow("item made by secret-tool is replaced in place")
        << bySecretTool << QList<QByteArray> { "new" } << std::optional<QString>("new");
    QTest::newRow("every duplicate gets the new bytes")
        << QList<Attributes> { {}, { { QStringLiteral("origin"), QStringLiteral("other") } } }
        << QList<QByteArray> { "new" } << std::optional<QString>("new");
    QTest::newRow("trailing line feed kept")
        << none << QList<QByteArray> { "abc\n" } << std::optional<QString>("abc\n");
    QTest::newRow("empty input stores the empty key")
        << none << QList<QByteArray> { "" } << std::optional<QString>("");
    QTest::newRow("NUL bytes kept") << none << QList<QByteArray> { QByteArray("a\0b", 3) }
                                    << std::optional<QString>(QString::fromUtf8("a\0b", 3));
    QTest::newRow("non-ASCII UTF-8") << none << QList<QByteArray> { "cl\xc3\xa9" }
                                     << std::optional<QString>(QStringLiteral("cl\u00e9"));
    QTest::newRow("leading byte order mark kept") << none << QList<QByteArray> { "\xef\xbb\xbfkey" }
                                                  << std::optional<QString>(QStringLiteral("\ufeffkey"));
    QTest::newRow("invalid UTF-8 reads as nothing")
        << none << QList<QByteArray> { "\xff\xfe" } << std::optional<QString>();
    QTest::newRow("truncated UTF-8 reads as nothing")
        << none << QList<QByteArray> { "ab\xc3" } << std::optional<QString>();
}

void KeyStoreTest::storeKeepsOneItemWithTheBytes()
{
    QFETCH(QList<Attributes>, madeElsewhere);
    QFETCH(QList<QByteArray>, stores);
    QFETCH(std::optional<QString>, expectedKey);

    for (const Attributes &extra : madeElsewhere) {
        const QStringList store { QStringLiteral("store"), QStringLiteral("--label=elsewhere") };
        QVERIFY(runSecretTool(store + dashboardAttributes(extra), "old"));
    }
    for (const QByteArray &key : stores) {
        const Run run = storeDashboardKey(key);
        QVERIFY2(run.finished, "the store did not end");
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output, QByteArray());
    }
    QCOMPARE(countItems(), std::max<int>(1, madeElsewhere.size()));
    QCOMPARE(lookUpWithSecretTool(), std::optional<QByteArray>(stores.last()));
    for (const Attributes &extra : madeElsewhere)
        QCOMPARE(lookUpWithSecretTool(extra), std::optional<QByteArray>(stores.last()));
    QCOMPARE(readKey(), expectedKey);
}

void KeyStoreTest::readKeyWithoutItemGivesNothing()
{
    QCOMPARE(readKey(), std::optional<QString>());
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

    const Run run = storeDashboardKey("key", environment);
    QVERIFY2(run.finished, qPrintable(QStringLiteral("still running after %1 ms").arg(run.elapsedMs)));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, QByteArray());
}

void KeyStoreTest::storeIntoLockedKeyring_data()
{
    QTest::addColumn<IsolatedSessionBus::Prompts>("prompts");
    QTest::addColumn<QStringList>("keysAtPrompt"); // X key names, typed into the prompt
    QTest::addColumn<int>("exitCode");

    QStringList password;
    for (const char character : std::string_view(throwawayPassword))
        password << QString(QLatin1Char(character));
    QTest::newRow("password typed at the prompt")
        << IsolatedSessionBus::Prompts::onDisplay << password + QStringList { QStringLiteral("Return") } << 0;
    QTest::newRow("prompt dismissed")
        << IsolatedSessionBus::Prompts::onDisplay << QStringList { QStringLiteral("Escape") } << 1;
    QTest::newRow("no prompt can be shown") << IsolatedSessionBus::Prompts::none << QStringList() << 1;
}

// A locked item is neither "not found" (no second item beside it) nor a reason to give
// up at once: the user may unlock it.
void KeyStoreTest::storeIntoLockedKeyring()
{
    QFETCH(IsolatedSessionBus::Prompts, prompts);
    QFETCH(QStringList, keysAtPrompt);
    QFETCH(int, exitCode);

    IsolatedSessionBus bus(prompts);
    QVERIFY2(bus.isRunning(), qPrintable(bus.errorString()));
    QVERIFY2(bus.startKeyring(throwawayPassword), qPrintable(bus.errorString()));
    QCOMPARE(storeDashboardKey("old", bus.environment()).exitCode, 0);
    QVERIFY(lockLoginCollection(bus.connection()));

    StoreRun store("new", bus.environment());
    if (!keysAtPrompt.isEmpty()) {
        // gnome-keyring's unlock prompt.
        const std::optional<QString> prompt
            = xwindows::waitForWindowNamed(QStringLiteral("^Unlock"), storeEndsMs);
        QVERIFY2(prompt, "no unlock prompt appeared");
        for (const QString &key : keysAtPrompt) {
            QString error;
            QVERIFY2(xwindows::pressKey(*prompt, key, &error), qPrintable(error));
        }
    }
    const Run run = store.finish();
    QVERIFY2(run.finished, "the store did not end");
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.output, QByteArray());
    QCOMPARE(countItems(bus.connection()), 1);
    if (exitCode == 0)
        QCOMPARE(lookUpWithSecretTool({}, bus.environment()), std::optional<QByteArray>("new"));
}

QTEST_GUILESS_MAIN(KeyStoreTest)
#include "tst_keystore.moc"
