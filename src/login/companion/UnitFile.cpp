#include "UnitFile.h"

#include <QStringList>

namespace login {

namespace {

// systemd's own limit for unit names, the suffix included.
constexpr qsizetype maximumUnitNameLength = 255;

const QString writtenHere = QStringLiteral("# Written by orlinde-login install.");
const QString conditionKey = QStringLiteral("ConditionPathExists=");

bool keptAsIs(char c, bool first)
{
    if (first && c == '.')
        return false;
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_'
        || c == '.';
}

bool fail(QString *error, const QString &description)
{
    if (error)
        *error = description;
    return false;
}

// A unit file is line-based text, so a value cannot hold a control character.
bool carriesInUnitFile(const QString &what, const QString &path, QString *error)
{
    if (!path.startsWith(QLatin1Char('/')))
        return fail(error, QStringLiteral("The %1 “%2” is not an absolute path.").arg(what, path));
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return fail(error,
                QStringLiteral("The %1 “%2” contains a control character, which a systemd unit cannot hold.")
                    .arg(what, path));
    }
    return true;
}

// systemd refuses to run a program whose path holds a quote or a backslash, however it
// is escaped.
bool isRunnableBySystemd(const QString &path, QString *error)
{
    for (const QChar c : { QLatin1Char('"'), QLatin1Char('\''), QLatin1Char('\\') }) {
        if (path.contains(c))
            return fail(error,
                QStringLiteral(
                    "The program path “%1” contains %2, which systemd does not accept in the path of a "
                    "program to run. Move the application to a folder whose path has no quotes or "
                    "backslashes and install again.")
                    .arg(path,
                        c == QLatin1Char('\\') ? QStringLiteral("a backslash") : QStringLiteral("a quote")));
    }
    return true;
}

// A condition takes the rest of its line unquoted: trailing blanks are stripped and a
// final backslash joins the next line.
bool endsCleanly(const QString &what, const QString &path, QString *error)
{
    if (path.back().isSpace() || path.back() == QLatin1Char('\\'))
        return fail(error,
            QStringLiteral(
                "The %1 “%2” ends in a blank or a backslash, which a systemd condition cannot hold.")
                .arg(what, path));
    return true;
}

QString withSpecifiersEscaped(QString text)
{
    return text.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// One word of a command line, double-quoted. The executable itself is not subject to
// variable expansion, so "$" is doubled only in the arguments.
QString commandWord(const QString &word, bool executable)
{
    QString quoted;
    for (const QChar c : word) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%') || (c == QLatin1Char('$') && !executable))
            quoted += c;
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString commandLine(const QStringList &words)
{
    QStringList quoted;
    for (qsizetype i = 0; i < words.size(); ++i)
        quoted << commandWord(words[i], i == 0);
    return quoted.join(QLatin1Char(' '));
}

} // namespace

std::optional<QString> unitNameForLabel(const QString &label, QString *error)
{
    if (label.isEmpty()) {
        fail(error, QStringLiteral("The property list’s Label is empty, so it cannot name a systemd unit."));
        return std::nullopt;
    }
    QString name;
    const QByteArray bytes = label.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '/')
            name += QLatin1Char('-');
        else if (keptAsIs(c, i == 0))
            name += QLatin1Char(c);
        else
            name += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
    }
    name += QStringLiteral(".service");
    if (name.size() > maximumUnitNameLength) {
        fail(error,
            QStringLiteral(
                "The property list’s Label “%1” makes a systemd unit name longer than %2 characters.")
                .arg(label)
                .arg(maximumUnitNameLength));
        return std::nullopt;
    }
    return name;
}

std::optional<QString> unitFileText(
    const QString &companionPath, const QString &propertyListPath, QString *error)
{
    if (!carriesInUnitFile(QStringLiteral("program path"), companionPath, error)
        || !isRunnableBySystemd(companionPath, error)
        || !endsCleanly(QStringLiteral("program path"), companionPath, error)
        || !carriesInUnitFile(QStringLiteral("property list path"), propertyListPath, error)
        || !endsCleanly(QStringLiteral("property list path"), propertyListPath, error))
        return std::nullopt;
    const QStringList lines = {
        writtenHere + QStringLiteral(" Orlinde's “Start at login” switches it on"),
        QStringLiteral("# and off by creating and removing the property list named below."),
        QStringLiteral("[Unit]"),
        QStringLiteral("Description=Orlinde, started at login"),
        conditionKey + withSpecifiersEscaped(propertyListPath),
        // Once the app has moved or been deleted, the unit starts nothing instead of failing
        // every 15 seconds for the rest of the session.
        QStringLiteral("ConditionFileIsExecutable=") + withSpecifiersEscaped(companionPath),
        QStringLiteral("PartOf=graphical-session.target"),
        QStringLiteral("After=graphical-session.target"),
        QStringLiteral("StartLimitIntervalSec=0"),
        QString(),
        QStringLiteral("[Service]"),
        QStringLiteral("ExecStart=")
            + commandLine({ companionPath, QStringLiteral("run"), propertyListPath }),
        QStringLiteral("Restart=on-failure"),
        QStringLiteral("RestartSec=15"),
        // 203 is systemd's own status for a program it could not execute: a retry cannot
        // bring it back either.
        QStringLiteral("RestartPreventExitStatus=%1 203").arg(unusableAgentStatus),
        QString(),
        QStringLiteral("[Install]"),
        QStringLiteral("WantedBy=graphical-session.target"),
    };
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

std::optional<QString> propertyListOfUnit(const QString &text)
{
    if (!text.startsWith(writtenHere))
        return std::nullopt;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(conditionKey))
            return line.mid(conditionKey.size()).replace(QStringLiteral("%%"), QStringLiteral("%"));
    }
    return std::nullopt;
}

} // namespace login
