#include "AgentDescription.h"
#include "AutostartEntry.h"
#include "LoginStartInstaller.h"
#include "UnitFile.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

namespace {

const QString companion = QStringLiteral(ORLINDE_LOGIN_COMPANION);

struct Finished
{
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
    qint64 pid = 0;
};

Finished runProcess(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    const qint64 pid = process.waitForStarted() ? process.processId() : 0;
    const bool ended = process.waitForFinished(60'000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError(),
        pid };
}

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    return permissions == QFile::Permissions() || file.setPermissions(permissions);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

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
    void agentRefused_data();
    void agentRefused();

    void runSendsOutputWhereTheAgentSays_data();
    void runSendsOutputWhereTheAgentSays();
    void runRefusesAnAgentItCannotRead();

    void installAndUninstallWithoutManager();
    void installRefuses_data();
    void installRefuses();

private:
    // An environment that reaches no systemd manager and writes only into the scratch dir.
    QProcessEnvironment isolatedEnvironment() const;
    QString writeAgent(const QVariantMap &changes, const QStringList &arguments = { QStringLiteral("0") });

    std::unique_ptr<QTemporaryDir> scratch;
    QString script;
};

void LoginCompanionTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    script = scratch->filePath(QStringLiteral("agent.sh"));
    QVERIFY(writeFile(script, agentScript, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QDir(scratch->path()).mkpath(QStringLiteral("home")) && QDir(scratch->path()).mkdir("run"));
    QVERIFY(QFile::setPermissions(
        scratch->filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QProcessEnvironment LoginCompanionTest::isolatedEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.insert(QStringLiteral("HOME"), scratch->filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch->filePath(QStringLiteral("run")));
    return environment;
}

// The agent the app writes, running the test script, with `changes` applied (an
// invalid QVariant removes the key).
QString LoginCompanionTest::writeAgent(const QVariantMap &changes, const QStringList &arguments)
{
    QVariantMap keys = {
        { QStringLiteral("Label"), QStringLiteral("com.example.agent") },
        { QStringLiteral("ProgramArguments"), QVariantList { script } + QVariant(arguments).toList() },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("StandardOutPath"), scratch->filePath(QStringLiteral("launcher.log")) },
        { QStringLiteral("StandardErrorPath"), scratch->filePath(QStringLiteral("launcher-error.log")) },
    };
    for (auto change = changes.begin(); change != changes.end(); ++change) {
        if (change.value().isValid())
            keys.insert(change.key(), change.value());
        else
            keys.remove(change.key());
    }
    const QString path = scratch->filePath(QStringLiteral("agent.plist"));
    writeFile(path, platform::propertylist::xmlData(keys).value_or(QByteArray()));
    return path;
}

void LoginCompanionTest::names_data()
{
    // As `systemd-escape -- LABEL` gives it for the unit; "!" and what the reason mentions
    // when refused.
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("unitName");
    QTest::addColumn<QString>("entryName");
    const auto row = [](const char *name, const QString &label, const char *unitName, const char *entryName) {
        QTest::newRow(name) << label << QString::fromUtf8(unitName) << QString::fromUtf8(entryName);
    };
    row("the default label", "com.tovrex.orlinde.app", "com.tovrex.orlinde.app.service",
        "com.tovrex.orlinde.app.desktop");
    row("escapes", QStringLiteral(".a:b_c/my-app 100%\\x@é☃"),
        "\\x2ea:b_c-my\\x2dapp\\x20100\\x25\\x5cx\\x40\\xc3\\xa9\\xe2\\x98\\x83.service",
        "_2ea_3ab_5fc_2fmy-app_20100_25_5cx_40_c3_a9_e2_98_83.desktop");
    row("longest accepted", QString(247, QLatin1Char('a')),
        qPrintable(QString(247, QLatin1Char('a')) + ".service"),
        qPrintable(QString(247, QLatin1Char('a')) + ".desktop"));
    row("empty", QString(), "!empty", "!empty");
    row("too long", QString(248, QLatin1Char('a')), "!longer than 255", "!longer than 255");
    row("too long once escaped", QString(62, QLatin1Char(' ')), "!longer than 255",
        qPrintable(
            QString(62, QLatin1Char(' ')).replace(QLatin1String(" "), QLatin1String("_20")) + ".desktop"));
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
    const QString program = QStringLiteral("/opt/$x/orlinde-login");
    const auto row = [&](const char *name, const QString &propertyList, const char *expected,
                         const QString &otherProgram = QString()) {
        QTest::newRow(name) << (otherProgram.isEmpty() ? program : otherProgram) << propertyList
                            << QString::fromUtf8(expected);
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
    // systemd runs no program from a path with quotes or backslashes, so those appear
    // only where the property list lies.
    const QString programFolder
        = QStringLiteral("two  spaces 100% %h %% $HOME ${HOME} $$ a ; b # c Données ☃");
    const QString propertyListFolder
        = programFolder + QStringLiteral(" say \"hi\" it's back\\slash \\n \\x41 \\");
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");

    const QString program = scratch->filePath(programFolder + QStringLiteral("/orlinde-login"));
    const QString propertyList = scratch->filePath(propertyListFolder + QStringLiteral("/agent.plist"));
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QVERIFY(QDir().mkpath(QFileInfo(propertyList).path()));
    QVERIFY(QFile::copy(companion, program));
    const std::optional<QString> text = login::unitFileText(program, propertyList);
    QVERIFY(text);
    const QString unit = scratch->filePath(QStringLiteral("orlinde-test.service"));
    QVERIFY(writeFile(unit, text->toUtf8()));

    // verify resolves the command line and checks that its program exists; it also
    // warns about escapes and specifiers it does not understand.
    const Finished verified = runProcess(
        analyze, { QStringLiteral("--user"), QStringLiteral("verify"), unit }, isolatedEnvironment());
    if (verified.errors.contains("Failed to initialize manager"))
        QSKIP(verified.errors.constData());
    QVERIFY2(verified.exitCode == 0 && verified.errors.isEmpty(),
        qPrintable(QString::fromUtf8(verified.errors) + *text));

    // Each condition, evaluated the way the manager does, names exactly its file: the
    // property list, which must exist, and the program, which must be executable.
    const QStringList conditions = text->split(QLatin1Char('\n')).filter(QRegularExpression("^Condition"));
    const auto met = [&] {
        QList<bool> results;
        for (const QString &condition : conditions) {
            const QStringList arguments
                = { QStringLiteral("--user"), QStringLiteral("condition"), condition };
            results << (runProcess(analyze, arguments, isolatedEnvironment()).exitCode == 0);
        }
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
    const QString program = scratch->filePath(programFolder + QStringLiteral("/orlinde-login"));
    propertyList = scratch->filePath(propertyList);
    QString error;
    const std::optional<QString> text = login::autostartEntryText(program, propertyList, &error);
    if (!refused.isEmpty()) {
        QVERIFY2(!text && error.contains(refused), qPrintable(text.value_or(error)));
        return;
    }
    QVERIFY2(text, qPrintable(error));
    QCOMPARE(login::propertyListOfAutostartEntry(*text), std::optional<QString>(propertyList));
    const QString entry = scratch->filePath(QStringLiteral("entry.desktop"));
    QVERIFY(writeFile(entry, text->toUtf8()));
    const Finished validated
        = runProcess(QStringLiteral("desktop-file-validate"), { entry }, isolatedEnvironment());
    QVERIFY2(validated.exitCode == 0 && validated.output.isEmpty(), validated.output.constData());

    // Records its arguments, one per line, and only then names the file.
    const QString recorded = scratch->filePath(QStringLiteral("arguments"));
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QVERIFY(writeFile(program,
        "#!/bin/sh\nprintf '%s\\n' \"$@\" >'" + recorded.toUtf8() + ".new'\nmv '" + recorded.toUtf8()
            + ".new' '" + recorded.toUtf8() + "'\n",
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        QSKIP("gio is not installed");
    QCOMPARE(runProcess(gio, { QStringLiteral("launch"), entry }, isolatedEnvironment()).exitCode, 0);
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(recorded); }, 10'000));
    QCOMPARE(
        QString::fromUtf8(readFile(recorded)), QStringLiteral("run\n") + propertyList + QLatin1Char('\n'));
}

void LoginCompanionTest::agentRefused_data()
{
    QTest::addColumn<QVariantMap>("changes");
    QTest::addColumn<QByteArray>("content"); // replaces the file when given
    QTest::addColumn<QString>("mentions");
    const auto change = [](const char *key, const QVariant &value) {
        return QVariantMap { { QString::fromLatin1(key), value } };
    };
    const auto nested = [](int depth) {
        return "<plist>" + QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth)
            + "</plist>";
    };
    const int deepest = platform::propertylist::maximumNestingDepth;
    QTest::newRow("cut off in the middle")
        << QVariantMap() << QByteArray("<plist><dict><key>La") << "not a property list";
    QTest::newRow("nested as deep as read: an array")
        << QVariantMap() << nested(deepest) << "not a dictionary";
    QTest::newRow("nested one level deeper") << QVariantMap() << nested(deepest + 1) << "not a property list";
    QTest::newRow("nested 60,000 deep") << QVariantMap() << nested(60'000) << "not a property list";
    QTest::newRow("no Label") << change("Label", QVariant()) << QByteArray() << "no Label";
    QTest::newRow("empty ProgramArguments")
        << change("ProgramArguments", QVariantList()) << QByteArray() << "no ProgramArguments";
    QTest::newRow("a number among the arguments")
        << change("ProgramArguments", QVariantList { "/bin/true", 7 }) << QByteArray() << "not text";
    QTest::newRow("StandardOutPath not text")
        << change("StandardOutPath", true) << QByteArray() << "StandardOutPath is not text";
}

void LoginCompanionTest::agentRefused()
{
    QFETCH(QVariantMap, changes);
    QFETCH(QByteArray, content);
    QFETCH(QString, mentions);
    const QString plist = writeAgent(changes);
    if (!content.isEmpty())
        QVERIFY(writeFile(plist, content));
    QString error;
    QCOMPARE(login::readAgentDescription(plist, &error).has_value(), false);
    QVERIFY2(error.contains(mentions), qPrintable(error));
}

void LoginCompanionTest::runSendsOutputWhereTheAgentSays_data()
{
    QTest::addColumn<QString>("logs"); // "new", "earlier" or "unopenable"
    QTest::addColumn<QString>("status");
    QTest::newRow("logs created for the owner, success") << "new"
                                                         << "0";
    QTest::newRow("earlier output kept, failure passed on") << "earlier"
                                                            << "3";
    QTest::newRow("a log that cannot open does not stop the start") << "unopenable"
                                                                    << "5";
}

void LoginCompanionTest::runSendsOutputWhereTheAgentSays()
{
    QFETCH(QString, logs);
    QFETCH(QString, status);
    const QString outputLog = scratch->filePath(QStringLiteral("launcher.log"));
    const QString errorLog = scratch->filePath(QStringLiteral("launcher-error.log"));
    const QByteArray earlier = logs == QLatin1String("earlier") ? "earlier run\n" : "";
    if (!earlier.isEmpty()) {
        QVERIFY(writeFile(outputLog, earlier, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(writeFile(errorLog, earlier, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    }
    QVariantMap changes;
    if (logs == QLatin1String("unopenable"))
        changes = { { QStringLiteral("StandardOutPath"),
            scratch->filePath(QStringLiteral("gone/launcher.log")) } };
    const QString plist
        = writeAgent(changes, { status, QStringLiteral("two words"), QStringLiteral("100% $HOME") });

    const Finished run = runProcess(companion, { QStringLiteral("run"), plist }, isolatedEnvironment());

    QCOMPARE(run.exitCode, status.toInt());
    // The program replaces the companion: one process, so the manager's signals reach it.
    const QByteArray line
        = QByteArray::number(run.pid) + " [" + status.toUtf8() + "] [two words] [100% $HOME]\n";
    if (logs == QLatin1String("unopenable")) {
        QCOMPARE(run.output, "out " + line);
        QVERIFY2(run.errors.contains("Could not open the log"), run.errors.constData());
        QCOMPARE(readFile(errorLog), "err " + line);
    } else {
        QCOMPARE(run.output + run.errors, QByteArray());
        QCOMPARE(readFile(outputLog), earlier + "out " + line);
        QCOMPARE(readFile(errorLog), earlier + "err " + line);
        struct stat created = {};
        QCOMPARE(::stat(QFile::encodeName(outputLog).constData(), &created), 0);
        QCOMPARE(created.st_mode & 0777, earlier.isEmpty() ? 0600u : 0640u);
    }
}

void LoginCompanionTest::runRefusesAnAgentItCannotRead()
{
    const QString plist = writeAgent({});
    QVERIFY(writeFile(plist, "<plist><dict>"));
    const Finished run = runProcess(companion, { QStringLiteral("run"), plist }, isolatedEnvironment());
    QCOMPARE(run.exitCode, login::unusableAgentStatus);
    QVERIFY2(run.errors.contains("not a property list"), run.errors.constData());
}

void LoginCompanionTest::installAndUninstallWithoutManager()
{
    const QString folder = scratch->filePath(QStringLiteral("config"));
    QProcessEnvironment environment = isolatedEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder);
    const auto listing = [&] {
        QStringList names;
        for (const QString &subfolder : { QStringLiteral("/systemd/user"), QStringLiteral("/autostart") })
            names
                += QDir(folder + subfolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        return names;
    };
    const QString ownPath = QFileInfo(companion).canonicalFilePath();
    const QString plist = scratch->filePath(QStringLiteral("agent.plist"));

    // A label that changes between installs leaves only the files for the last one.
    for (const QString &label :
        { QStringLiteral("com.example.old"), QStringLiteral("com.example.my agent") }) {
        writeAgent({ { QStringLiteral("Label"), label } });
        // Given relative to where the installer stands, named absolutely in the files.
        const Finished install = runProcess(companion,
            { QStringLiteral("install"), QStringLiteral("agent.plist") }, environment, scratch->path());
        QCOMPARE(install.exitCode, 1);
        QVERIFY2(install.errors.contains("written but not enabled: no systemd user manager is reachable"),
            install.errors.constData());
    }
    const QString unit = folder + QStringLiteral("/systemd/user/com.example.my\\x20agent.service");
    const QString entry = folder + QStringLiteral("/autostart/com.example.my_20agent.desktop");
    QCOMPARE(QString::fromUtf8(readFile(unit)), login::unitFileText(ownPath, plist).value_or(QString()));
    QCOMPARE(
        QString::fromUtf8(readFile(entry)), login::autostartEntryText(ownPath, plist).value_or(QString()));
    QCOMPARE(listing(), (QStringList { QFileInfo(unit).fileName(), QFileInfo(entry).fileName() }));

    // Enabled by an earlier manager; with the switch off, only the files name the property list.
    const QString wants = folder + QStringLiteral("/systemd/user/graphical-session.target.wants");
    QVERIFY(
        QDir().mkpath(wants) && QFile::link(unit, wants + QStringLiteral("/") + QFileInfo(unit).fileName()));
    QVERIFY(QFile::remove(plist));
    const Finished uninstall
        = runProcess(companion, { QStringLiteral("uninstall"), plist }, environment, scratch->path());
    QVERIFY2(uninstall.exitCode == 0, uninstall.errors.constData());
    QVERIFY2(uninstall.output.contains("Removed " + entry.toUtf8()), uninstall.output.constData());
    QCOMPARE(listing(), QStringList());
}

void LoginCompanionTest::installRefuses_data()
{
    QTest::addColumn<bool>("propertyListExists");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("no property list yet") << false << "turn on “Start at login”";
    QTest::newRow("an empty Label") << true << "Label is empty";
}

void LoginCompanionTest::installRefuses()
{
    QFETCH(bool, propertyListExists);
    QFETCH(QString, mentions);
    const QString plist = writeAgent({ { QStringLiteral("Label"), QString() } });
    if (!propertyListExists)
        QVERIFY(QFile::remove(plist));
    const Finished install
        = runProcess(companion, { QStringLiteral("install"), plist }, isolatedEnvironment());
    QCOMPARE(install.exitCode, 1);
    QVERIFY2(QString::fromUtf8(install.errors).contains(mentions), install.errors.constData());
    QVERIFY(!QFileInfo::exists(scratch->filePath(QStringLiteral("home/.config"))));
}

QTEST_GUILESS_MAIN(LoginCompanionTest)
#include "tst_login_companion.moc"
