#include "TestFiles.h"
#include "login/StartAtLogin.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every file below `top`, by its path from there.
QStringList filesBelow(const QString &top)
{
    QStringList files;
    for (QDirIterator it(top, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         it.hasNext();)
        files << QDir(top).relativeFilePath(it.next());
    files.sort();
    return files;
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
    QTest::newRow("appId absent") << std::optional<QString>() << QStringLiteral("/opt/Orlinde")
                                  << QStringLiteral("root") << "com.tovrex.orlinde.app";
    // Markup, blanks, percent, non-ASCII, a tab and a line feed, which XML keeps as they
    // are, and a carriage return, which it keeps only as a character reference.
    QTest::newRow("awkward characters")
        << std::optional<QString>(QStringLiteral("a&b<c>\"d'e\té☃")) << "/opt/R&D <x>/\"q\" 'a'/Orlindé\r\n✓"
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
    QCOMPARE(filesBelow(top.filePath(QStringLiteral("Library"))), QStringList());
}

void StartAtLoginUnitTest::whatStandsAtThePath_data()
{
    QTest::addColumn<QString>("agent");
    QTest::addColumn<QStringList>("before"); // files, with "FILE -> TARGET" for a link
    QTest::addColumn<std::optional<QString>>("appId");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<bool>("onAfter");
    QTest::addColumn<QStringList>("filesAfter");
    const auto row = [](const char *name, const QStringList &before, bool fails, bool onAfter,
                         const QStringList &filesAfter, const char *agent = "LaunchAgents/agent.plist",
                         const std::optional<QString> &appId = std::nullopt) {
        QTest::newRow(name) << agent << before << appId << fails << onAfter << filesAfter;
    };
    row("a file the app did not write is removed", { "LaunchAgents/agent.plist" }, false, false, {});
    row("a folder survives with its contents", { "LaunchAgents/agent.plist/keep.txt" }, true, true,
        { "LaunchAgents/agent.plist/keep.txt" });
    row("a link to a folder is removed, the folder kept",
        { "kept/keep.txt", "LaunchAgents/agent.plist -> kept" }, false, false, { "kept/keep.txt" });
    row("a plain file where the folder should be", { "blocker" }, true, false, { "blocker" },
        "blocker/agent.plist");
    // XML cannot carry this character; writing it raw would make a file no reader takes.
    row("U+0001 in appId", {}, true, false, {}, "LaunchAgents/agent.plist", "a\u0001");
    // Turned on, the switch takes effect or stays off: never a check mark without a login start.
    row("an empty appId, which names no unit", {}, true, false, {}, "LaunchAgents/agent.plist", "");
}

void StartAtLoginUnitTest::whatStandsAtThePath()
{
    QFETCH(QString, agent);
    QFETCH(QStringList, before);
    QFETCH(std::optional<QString>, appId);
    QFETCH(bool, fails);
    QFETCH(bool, onAfter);
    QFETCH(QStringList, filesAfter);
    QTemporaryDir top;
    for (const QString &item : before) {
        const QString file = top.filePath(item.section(QStringLiteral(" -> "), 0, 0));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        if (item.contains(QStringLiteral(" -> ")))
            QVERIFY(QFile::link(top.filePath(item.section(QStringLiteral(" -> "), 1)), file));
        else
            QVERIFY(writeFile(file, "not the app's"));
    }
    Settings settings;
    settings.root = top.path();
    settings.launchAgent = top.filePath(agent);
    settings.appId = appId;
    StartAtLogin startAtLogin = inScratchFolders(settings, top);

    const std::optional<QString> failure = startAtLogin.toggle();
    QVERIFY2(failure.has_value() == fails, qPrintable(failure.value_or(QStringLiteral("no failure"))));
    QCOMPARE(startAtLogin.isOn(), onAfter);
    QCOMPARE(filesBelow(top.path()), filesAfter);
    // Told once: the next launch finds nothing to set up again and nothing to report.
    QCOMPARE(startAtLogin.keepCurrent(), std::nullopt);
}

QTEST_GUILESS_MAIN(StartAtLoginUnitTest)
#include "tst_startatlogin.moc"
