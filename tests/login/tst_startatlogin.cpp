#include "login/StartAtLogin.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList entriesOf(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The agent as launchd's peers read it: through an XML parser that is not the one that
// wrote it (plistlib, expat underneath, strict about well-formed XML). Integers must stay
// integers, which JSON alone would not tell.
QJsonObject agentAsPythonReadsIt(const QString &path)
{
    static const QString script
        = QStringLiteral("import json, plistlib, sys\n"
                         "value = plistlib.load(open(sys.argv[1], 'rb'), fmt=plistlib.FMT_XML)\n"
                         "assert type(value['ThrottleInterval']) is int\n"
                         "print(json.dumps(value))\n");
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), script, path });
    if (!python.waitForFinished(30'000) || python.exitCode() != 0)
        return { { QStringLiteral("python failed"), QString::fromLocal8Bit(python.readAllStandardError()) } };
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

// The login start writes its unit and autostart entry into the test's own folders.
StartAtLogin inScratchFolders(const Settings &settings, const QTemporaryDir &top)
{
    return StartAtLogin(settings, QStringLiteral("/opt/Orlinde/Orlinde"),
        QStringLiteral("/opt/Orlinde/orlinde-login"),
        { top.filePath(QStringLiteral("config/systemd/user")),
            top.filePath(QStringLiteral("config/autostart")) });
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

// The switch's only record is the agent file: what it writes, and what it does with
// whatever already stands at the path.
class StartAtLoginUnitTest : public QObject
{
    Q_OBJECT
private slots:
    void onWritesTheAgentAndOffRemovesIt_data();
    void onWritesTheAgentAndOffRemovesIt();
    void whatStandsAtThePath_data();
    void whatStandsAtThePath();
};

void StartAtLoginUnitTest::onWritesTheAgentAndOffRemovesIt_data()
{
    QTest::addColumn<std::optional<QString>>("appId");
    QTest::addColumn<QString>("appExecutable");
    QTest::addColumn<QString>("rootFolder");
    QTest::addColumn<QString>("label");

    QTest::newRow("appId absent") << std::optional<QString>() << "/opt/Orlinde"
                                  << "root"
                                  << "com.tovrex.orlinde.app";
    // Markup, blanks, percent, non-ASCII, and the tab and line feed that XML keeps.
    QTest::newRow("awkward characters")
        << std::optional<QString>(QStringLiteral("a&b<c>\"d'e\té☃")) << "/opt/R&D <x>/\"q\" 'a'/Orlindé\n✓"
        << "R&D <root> \"x\" 100% #1 ?x=y Données 日本"
        << "a&b<c>\"d'e\té☃";
}

void StartAtLoginUnitTest::onWritesTheAgentAndOffRemovesIt()
{
    QFETCH(std::optional<QString>, appId);
    QFETCH(QString, appExecutable);
    QFETCH(QString, rootFolder);
    QFETCH(QString, label);
    QTemporaryDir top;
    Settings settings;
    settings.root = top.filePath(rootFolder);
    // Neither folder above the agent exists yet.
    settings.launchAgent = top.filePath(QStringLiteral("Library/Launch Agents/agent.plist"));
    settings.appExecutable = appExecutable;
    settings.appId = appId;
    StartAtLogin startAtLogin = inScratchFolders(settings, top);
    QVERIFY(!startAtLogin.isOn());

    QCOMPARE(startAtLogin.toggle(), std::nullopt);
    QVERIFY(startAtLogin.isOn());
    const QString data = settings.root + QStringLiteral("/.data");
    QCOMPARE(agentAsPythonReadsIt(settings.launchAgent),
        QJsonObject({
            { QStringLiteral("Label"), label },
            { QStringLiteral("ProgramArguments"), QJsonArray { appExecutable } },
            { QStringLiteral("RunAtLoad"), true },
            { QStringLiteral("KeepAlive"), QJsonObject { { QStringLiteral("SuccessfulExit"), false } } },
            { QStringLiteral("ThrottleInterval"), 15 },
            { QStringLiteral("StandardOutPath"), data + QStringLiteral("/launcher.log") },
            { QStringLiteral("StandardErrorPath"), data + QStringLiteral("/launcher-error.log") },
        }));

    QCOMPARE(startAtLogin.toggle(), std::nullopt);
    QVERIFY(!startAtLogin.isOn());
    QCOMPARE(entriesOf(QFileInfo(settings.launchAgent).path()), QStringList());
}

void StartAtLoginUnitTest::whatStandsAtThePath_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<bool>("onAfter");

    QTest::newRow("a file the app did not write is removed") << "foreign file" << false << false;
    QTest::newRow("a folder survives with its contents") << "folder" << true << true;
    QTest::newRow("a link to a folder is removed, the folder kept") << "link to folder" << false << false;
    QTest::newRow("a plain file where the folder should be") << "file as parent" << true << false;
    // XML cannot carry this character; writing it raw would make a file no reader takes.
    QTest::newRow("U+0001 in appId") << "U+0001 in appId" << true << false;
    // Turned on, the switch takes effect or stays off: never a check mark without a login start.
    QTest::newRow("an empty appId, which names no unit") << "empty appId" << true << false;
    QTest::newRow("a file where the autostart folder belongs") << "autostart blocked" << true << false;
}

void StartAtLoginUnitTest::whatStandsAtThePath()
{
    QFETCH(QString, before);
    QFETCH(bool, fails);
    QFETCH(bool, onAfter);
    QTemporaryDir top;
    const QString kept = top.filePath(QStringLiteral("kept"));
    Settings settings;
    settings.root = top.path();
    settings.launchAgent = top.filePath(QStringLiteral("LaunchAgents/agent.plist"));
    QVERIFY(QDir().mkpath(top.filePath(QStringLiteral("LaunchAgents"))));
    if (before == QLatin1String("foreign file")) {
        QVERIFY(writeFile(settings.launchAgent, "<plist>someone else's</plist>"));
    } else if (before == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(settings.launchAgent));
        QVERIFY(writeFile(settings.launchAgent + QStringLiteral("/keep.txt"), "precious"));
    } else if (before == QLatin1String("link to folder")) {
        QVERIFY(QDir().mkpath(kept));
        QVERIFY(writeFile(kept + QStringLiteral("/keep.txt"), "precious"));
        QVERIFY(QFile::link(kept, settings.launchAgent));
    } else if (before == QLatin1String("file as parent")) {
        QVERIFY(writeFile(top.filePath(QStringLiteral("blocker")), "a file"));
        settings.launchAgent = top.filePath(QStringLiteral("blocker/agent.plist"));
    } else if (before == QLatin1String("autostart blocked")) {
        QVERIFY(QDir().mkpath(top.filePath(QStringLiteral("config"))));
        QVERIFY(writeFile(top.filePath(QStringLiteral("config/autostart")), "a file"));
    } else {
        settings.appId = before == QLatin1String("empty appId") ? QString() : QStringLiteral("a\u0001");
    }
    StartAtLogin startAtLogin = inScratchFolders(settings, top);

    const std::optional<QString> failure = startAtLogin.toggle();
    QVERIFY2(failure.has_value() == fails, qPrintable(failure.value_or(QStringLiteral("no failure"))));
    QCOMPARE(startAtLogin.isOn(), onAfter);
    if (before == QLatin1String("folder"))
        QCOMPARE(entriesOf(settings.launchAgent), QStringList { QStringLiteral("keep.txt") });
    else
        QVERIFY(!QFileInfo::exists(settings.launchAgent) && !QFileInfo(settings.launchAgent).isSymLink());
    if (before == QLatin1String("link to folder"))
        QCOMPARE(entriesOf(kept), QStringList { QStringLiteral("keep.txt") });
    if (before == QLatin1String("file as parent"))
        QVERIFY(QFileInfo(top.filePath(QStringLiteral("blocker"))).isFile());
    else if (before != QLatin1String("folder"))
        QCOMPARE(entriesOf(top.filePath(QStringLiteral("LaunchAgents"))), QStringList());
    QCOMPARE(entriesOf(top.filePath(QStringLiteral("config/systemd/user"))), QStringList());
    // Told once: the next launch finds nothing to set up again and nothing to report.
    QCOMPARE(startAtLogin.keepCurrent(), std::nullopt);
}

QTEST_GUILESS_MAIN(StartAtLoginUnitTest)
#include "tst_startatlogin.moc"
