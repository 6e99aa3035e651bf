#include "AgentDescription.h"
#include "AutostartEntry.h"
#include "LoginStartInstaller.h"
#include "TestFiles.h"
#include "UnitFile.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString companion = QStringLiteral(ORLINDE_LOGIN_COMPANION);

struct Finished
{
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
    qint64 pid = 0;
};

// Prints its pid and arguments on both streams and exits with its first argument.
const QByteArray agentScript = "#!/bin/sh\n"
                               "printf 'out %s' \"$$\"; printf ' [%s]' \"$@\"; echo\n"
                               "printf 'err %s' \"$$\" >&2; printf ' [%s]' \"$@\" >&2; echo >&2\n"
                               "exit \"$1\"\n";

} // namespace

class LoginCompanionTest final : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void names_data();
    void names();
    void unitText_data();
    void unitText();
    void unitAcceptedBySystemd();
    void autostartEntry_data();
    void autostartEntry();

    void runSendsOutputWhereTheAgentSays_data();
    void runSendsOutputWhereTheAgentSays();
    void installAndUninstallWithoutManager();
    void refused_data();
    void refused();

private:
    QString path(const QString &name) const { return scratch->filePath(name); }
    // Runs in the scratch folder, in `environment`.
    Finished run(const QString &program, const QStringList &arguments) const;
    QString writeAgent(const QVariantMap &changes, const QStringList &arguments = { QStringLiteral("0") });

    std::unique_ptr<QTemporaryDir> scratch;
    // Reaches no systemd manager and writes only into the scratch folder.
    QProcessEnvironment environment;
};

void LoginCompanionTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(writeFile(path("agent.sh"), agentScript, 0700));
    QVERIFY(QDir().mkdir(path("home")));
    QVERIFY(QDir().mkdir(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.insert(QStringLiteral("HOME"), path("home"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("run"));
}

Finished LoginCompanionTest::run(const QString &program, const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(scratch->path());
    process.start(program, arguments);
    const qint64 pid = process.waitForStarted() ? process.processId() : 0;
    const bool ended = process.waitForFinished(60'000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError(),
        pid };
}

// The agent the app writes, running the test script, with `changes` applied (an
// invalid QVariant removes the key).
QString LoginCompanionTest::writeAgent(const QVariantMap &changes, const QStringList &arguments)
{
    QVariantMap keys = {
        { QStringLiteral("Label"), QStringLiteral("com.example.agent") },
        { QStringLiteral("ProgramArguments"),
            QVariantList { path("agent.sh") } + QVariant(arguments).toList() },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("StandardOutPath"), path("launcher.log") },
        { QStringLiteral("StandardErrorPath"), path("launcher-error.log") },
    };
    keys.insert(changes);
    keys.removeIf([](const auto &entry) { return !entry.value().isValid(); });
    writeFile(path("agent.plist"), platform::propertylist::xmlData(keys).value_or(QByteArray()));
    return path("agent.plist");
}

void LoginCompanionTest::names_data()
{
    // As `systemd-escape -- LABEL` gives it for the unit; "!" and what the reason mentions
    // when refused.
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("unitName");
    QTest::addColumn<QString>("entryName");
    const auto row = [](const char *name, const QString &label, const QString &unitName,
                         const QString &entryName) { QTest::newRow(name) << label << unitName << entryName; };
    row("escapes", ".a:b_c/my-app 100%\\x@é☃",
        "\\x2ea:b_c-my\\x2dapp\\x20100\\x25\\x5cx\\x40\\xc3\\xa9\\xe2\\x98\\x83.service",
        "_2ea_3ab_5fc_2fmy-app_20100_25_5cx_40_c3_a9_e2_98_83.desktop");
    const QString longest(247, QLatin1Char('a'));
    row("longest accepted", longest, longest + ".service", longest + ".desktop");
    row("empty", QString(), "!empty", "!empty");
    row("too long", QString(248, QLatin1Char('a')), "!longer than 255", "!longer than 255");
    row("too long once escaped", QString(62, QLatin1Char(' ')), "!longer than 255",
        QString("_20").repeated(62) + ".desktop");
}

void LoginCompanionTest::names()
{
    QFETCH(QString, label);
    QFETCH(QString, unitName);
    QFETCH(QString, entryName);
    for (const auto &[expected, name] : { std::pair { unitName, &login::unitNameForLabel },
             std::pair { entryName, &login::autostartEntryName } }) {
        QString error;
        const std::optional<QString> made = name(label, &error);
        if (expected.startsWith(QLatin1Char('!')))
            QVERIFY2(!made && error.contains(expected.mid(1)), qPrintable(made.value_or(error)));
        else
            QCOMPARE(made, std::optional<QString>(expected));
    }
}

void LoginCompanionTest::unitText_data()
{
    // Accepted: the property list's word on the ExecStart line. systemd.service(5),
    // "Command lines": C escapes inside double quotes, "%%" for a percent sign, "$$" for
    // a dollar sign; systemd-analyze cannot show how it splits arguments, so the words
    // are written out. Refused: what the reason mentions.
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("propertyList");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QString &propertyList, const char *expected,
                         const QString &program = QStringLiteral("/opt/$x/orlinde-login")) {
        QTest::newRow(name) << program << propertyList << QString::fromUtf8(expected);
    };
    row("awkward characters", "/a b/say \"hi\" it's \\n 100%h $HOME ${X}.plist",
        "\"/a b/say \\\"hi\\\" it's \\\\n 100%%h $$HOME $${X}.plist\"");

    const QString plist = QStringLiteral("/home/u/agent.plist");
    row("refused: relative program", plist, "not an absolute path", "orlinde-login");
    row("refused: tab in the program path", plist, "control character", "/opt/a\tb/orlinde-login");
    row("refused: delete character", "/home/u/a\x7f.plist", "control character");
    row("refused: double quote in the program path", plist, "a quote", "/opt/\"x\"/orlinde-login");
    row("refused: backslash in the program path", plist, "a backslash", "/opt/a\\b/orlinde-login");
    row("refused: property list path ending in a blank", "/home/u/agent.plist ", "ends in a blank");
    row("refused: program path ending in a blank", plist, "ends in a blank", "/opt/orlinde-login ");
    row("refused: property list path ending in a backslash", "/home/u/agent\\", "backslash");
}

void LoginCompanionTest::unitText()
{
    QFETCH(QString, program);
    QFETCH(QString, propertyList);
    QFETCH(QString, expected);
    QString error;
    const std::optional<QString> text = login::unitFileText(program, propertyList, &error);
    if (QString::fromUtf8(QTest::currentDataTag()).startsWith(QLatin1String("refused"))) {
        QCOMPARE(text, std::nullopt);
        QVERIFY2(error.contains(expected), qPrintable(error));
        return;
    }
    QVERIFY2(text, qPrintable(error));
    const QString line = QStringLiteral("\nExecStart=\"%1\" \"run\" %2\n").arg(program, expected);
    QVERIFY2(text->contains(line), qPrintable(*text));
    QCOMPARE(login::propertyListOfUnit(*text), std::optional<QString>(propertyList));
}

void LoginCompanionTest::unitAcceptedBySystemd()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    // systemd runs no program from a path with quotes or backslashes, so those appear
    // only where the property list lies.
    const QString programFolder = path("two  spaces 100% %h %% $HOME ${HOME} $$ a ; b # c Données ☃");
    const QString program = programFolder + "/orlinde-login";
    const QString propertyList = programFolder + " say \"hi\" it's back\\slash \\n \\x41 \\/agent.plist";
    QVERIFY(QDir().mkpath(programFolder) && QDir().mkpath(QFileInfo(propertyList).path()));
    QVERIFY(QFile::copy(companion, program));
    const std::optional<QString> text = login::unitFileText(program, propertyList);
    QVERIFY(text);
    QVERIFY(writeFile(path("orlinde-test.service"), text->toUtf8()));

    // verify resolves the command line and checks that its program exists; it also
    // warns about escapes and specifiers it does not understand.
    const Finished verified = run(analyze, { "--user", "verify", path("orlinde-test.service") });
    if (verified.errors.contains("Failed to initialize manager"))
        QSKIP(verified.errors.constData());
    QVERIFY2(verified.exitCode == 0 && verified.errors.isEmpty(),
        qPrintable(QString::fromUtf8(verified.errors) + *text));

    // Each condition, evaluated the way the manager does, names exactly its file: the
    // property list, which must exist, and the program, which must be executable.
    const QStringList conditions = text->split(QLatin1Char('\n')).filter(QRegularExpression("^Condition"));
    const auto met = [&] {
        QList<bool> results;
        for (const QString &condition : conditions)
            results << (run(analyze, { "--user", "condition", condition }).exitCode == 0);
        return results;
    };
    QCOMPARE(met(), (QList<bool> { false, true }));
    QVERIFY(writeFile(propertyList, "x"));
    QCOMPARE(met(), (QList<bool> { true, true }));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(met(), (QList<bool> { true, false }));
}

void LoginCompanionTest::autostartEntry_data()
{
    // Accepted: the entry must validate, and a desktop's own parser (GLib's, through
    // `gio launch`) must hand the companion exactly these two paths. Refused: what the
    // reason mentions.
    QTest::addColumn<QString>("programFolder");
    QTest::addColumn<QString>("propertyList");
    QTest::addColumn<QString>("refused");
    const auto row = [](const char *name, const QString &programFolder, const QString &propertyList,
                         const QString &refused = QString()) {
        QTest::newRow(name) << programFolder << propertyList << refused;
    };
    // No "%" in the program path: GLib looks for the program before it undoes "%%".
    row("awkward characters", "two  spaces $HOME ; # ~ * ? & | < > ( ) Données ☃",
        "say \"hi\" it's back\\slash \\n \\s $HOME `x` %f 100%% ☃.plist");
    row("refused: = in the program path", "a=b", "agent.plist", "contains “=”");
    row("refused: control character", "bin", "a\tb.plist", "control character");
}

void LoginCompanionTest::autostartEntry()
{
    QFETCH(QString, programFolder);
    QFETCH(QString, propertyList);
    QFETCH(QString, refused);
    const QString program = path(programFolder + "/orlinde-login");
    propertyList = path(propertyList);
    QString error;
    const std::optional<QString> text = login::autostartEntryText(program, propertyList, &error);
    if (!refused.isEmpty()) {
        QVERIFY2(!text && error.contains(refused), qPrintable(text.value_or(error)));
        return;
    }
    QVERIFY2(text, qPrintable(error));
    QCOMPARE(login::propertyListOfAutostartEntry(*text), std::optional<QString>(propertyList));
    const QString entry = path("entry.desktop");
    QVERIFY(writeFile(entry, text->toUtf8()));
    const Finished validated = run("desktop-file-validate", { entry });
    QVERIFY2(validated.exitCode == 0 && validated.output.isEmpty(), validated.output.constData());

    // Records its arguments, one per line, and only then names the file.
    const QByteArray recorded = QFile::encodeName(path("arguments"));
    QVERIFY(QDir().mkpath(path(programFolder)));
    QVERIFY(writeFile(program,
        "#!/bin/sh\nprintf '%s\\n' \"$@\" >'" + recorded + ".new'\nmv '" + recorded + ".new' '" + recorded
            + "'\n",
        0700));
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        QSKIP("gio is not installed");
    QCOMPARE(run(gio, { "launch", entry }).exitCode, 0);
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(path("arguments")); }, 10'000));
    QCOMPARE(QString::fromUtf8(contentsOf(path("arguments"))), "run\n" + propertyList + '\n');
}

void LoginCompanionTest::runSendsOutputWhereTheAgentSays_data()
{
    QTest::addColumn<QString>("logs"); // "new", "earlier" or "unopenable"
    QTest::addColumn<int>("status");
    QTest::newRow("logs created for the owner, success") << "new" << 0;
    QTest::newRow("earlier output kept, failure passed on") << "earlier" << 3;
    QTest::newRow("a log that cannot open does not stop the start") << "unopenable" << 5;
}

void LoginCompanionTest::runSendsOutputWhereTheAgentSays()
{
    QFETCH(QString, logs);
    QFETCH(int, status);
    const QByteArray earlier = logs == QLatin1String("earlier") ? "earlier run\n" : "";
    for (const QString &log : { path("launcher.log"), path("launcher-error.log") })
        QVERIFY(earlier.isEmpty() || writeFile(log, earlier, 0640));
    QVariantMap changes;
    if (logs == QLatin1String("unopenable"))
        changes.insert(QStringLiteral("StandardOutPath"), path("gone/launcher.log"));
    const QString plist = writeAgent(changes, { QString::number(status), "two words", "100% $HOME" });

    const Finished ran = run(companion, { "run", plist });

    QCOMPARE(ran.exitCode, status);
    // The program replaces the companion: one process, so the manager's signals reach it.
    const QByteArray line
        = QByteArray::number(ran.pid) + " [" + QByteArray::number(status) + "] [two words] [100% $HOME]\n";
    if (logs == QLatin1String("unopenable")) {
        QCOMPARE(ran.output, "out " + line);
        QVERIFY2(ran.errors.contains("Could not open the log"), ran.errors.constData());
        QCOMPARE(contentsOf(path("launcher-error.log")), "err " + line);
    } else {
        QCOMPARE(ran.output + ran.errors, QByteArray());
        QCOMPARE(contentsOf(path("launcher.log")), earlier + "out " + line);
        QCOMPARE(contentsOf(path("launcher-error.log")), earlier + "err " + line);
        QCOMPARE(modeOf(path("launcher.log")), earlier.isEmpty() ? 0600u : 0640u);
    }
}

void LoginCompanionTest::installAndUninstallWithoutManager()
{
    const QString folder = path("config");
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder);
    const auto listing = [&] {
        const auto filter = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden;
        return QDir(folder + "/systemd/user").entryList(filter)
            + QDir(folder + "/autostart").entryList(filter);
    };
    const QString ownPath = QFileInfo(companion).canonicalFilePath();

    // A label that changes between installs leaves only the files for the last one.
    for (const char *label : { "com.example.old", "com.example.my agent" }) {
        writeAgent({ { QStringLiteral("Label"), label } });
        // Given relative to where the installer stands, named absolutely in the files.
        const Finished install = run(companion, { "install", "agent.plist" });
        QCOMPARE(install.exitCode, 1);
        QVERIFY2(install.errors.contains("written but not enabled: no systemd user manager is reachable"),
            install.errors.constData());
    }
    const QString unit = folder + "/systemd/user/com.example.my\\x20agent.service";
    const QString entry = folder + "/autostart/com.example.my_20agent.desktop";
    QCOMPARE(
        QString::fromUtf8(contentsOf(unit)), login::unitFileText(ownPath, path("agent.plist")).value_or(""));
    QCOMPARE(QString::fromUtf8(contentsOf(entry)),
        login::autostartEntryText(ownPath, path("agent.plist")).value_or(""));
    QCOMPARE(listing(), (QStringList { QFileInfo(unit).fileName(), QFileInfo(entry).fileName() }));

    // Enabled by an earlier manager; with the switch off, only the files name the property list.
    const QString wants = folder + "/systemd/user/graphical-session.target.wants";
    QVERIFY(QDir().mkpath(wants) && QFile::link(unit, wants + '/' + QFileInfo(unit).fileName()));
    QVERIFY(QFile::remove(path("agent.plist")));
    const Finished uninstall = run(companion, { "uninstall", path("agent.plist") });
    QVERIFY2(uninstall.exitCode == 0, uninstall.errors.constData());
    QVERIFY2(uninstall.output.contains("Removed " + entry.toUtf8()), uninstall.output.constData());
    QCOMPARE(listing(), QStringList());
}

void LoginCompanionTest::refused_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QByteArray>("content"); // replaces the property list when given; "-" removes it
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("mentions");
    const auto unusable
        = [](const char *name, const QVariantMap &changes, const QByteArray &content, const char *mentions) {
              QTest::newRow(name) << "run" << changes << content << login::unusableAgentStatus << mentions;
          };
    const auto change = [](const char *key, const QVariant &value) { return QVariantMap { { key, value } }; };
    const auto nested = [](int depth) {
        return "<plist>" + QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth)
            + "</plist>";
    };
    const int deepest = platform::propertylist::maximumNestingDepth;
    unusable("cut off in the middle", {}, "<plist><dict><key>La", "not a property list");
    unusable("nested as deep as read: an array", {}, nested(deepest), "not a dictionary");
    unusable("nested one level deeper", {}, nested(deepest + 1), "not a property list");
    unusable("nested 60,000 deep", {}, nested(60'000), "not a property list");
    unusable("no Label", change("Label", QVariant()), {}, "no Label");
    unusable("empty ProgramArguments", change("ProgramArguments", QVariantList()), {}, "no ProgramArguments");
    unusable("a number among the arguments", change("ProgramArguments", QVariantList { "/bin/true", 7 }), {},
        "not text");
    unusable("StandardOutPath not text", change("StandardOutPath", true), {}, "StandardOutPath is not text");
    // The autostart entry runs at every login, the switch on or off.
    QTest::newRow("run: no property list means off") << "run" << QVariantMap() << QByteArray("-") << 0 << "";
    QTest::newRow("install: no property list yet")
        << "install" << QVariantMap() << QByteArray("-") << 1 << "turn on “Start at login”";
    QTest::newRow("install: an empty Label")
        << "install" << change("Label", QString()) << QByteArray() << 1 << "Label is empty";
}

// Nothing is written for an agent the companion refuses, nor when there is none.
void LoginCompanionTest::refused()
{
    QFETCH(QString, command);
    QFETCH(QVariantMap, changes);
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(QString, mentions);
    const QString plist = writeAgent(changes);
    if (content == "-")
        QVERIFY(QFile::remove(plist));
    else if (!content.isEmpty())
        QVERIFY(writeFile(plist, content));
    const Finished refused = run(companion, { command, plist });
    QCOMPARE(refused.exitCode, status);
    QVERIFY2(QString::fromUtf8(refused.errors).contains(mentions), refused.errors.constData());
    QVERIFY(!QFileInfo::exists(path("home/.config")));
}

QTEST_GUILESS_MAIN(LoginCompanionTest)
#include "tst_login_companion.moc"
