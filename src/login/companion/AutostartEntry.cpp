#include "AutostartEntry.h"

#include <QStringList>

namespace login {

namespace {

constexpr qsizetype maximumFileNameLength = 255;

const QString propertyListKey = QStringLiteral("X-Orlinde-PropertyList=");

bool fail(QString *error, const QString &description)
{
    if (error)
        *error = description;
    return false;
}

bool keptAsIs(char c, bool first)
{
    if (first && c == '.')
        return false;
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool isUsablePath(const QString &what, const QString &path, QString *error)
{
    if (!path.startsWith(QLatin1Char('/')))
        return fail(error, QStringLiteral("The %1 “%2” is not an absolute path.").arg(what, path));
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return fail(error,
                QStringLiteral("The %1 “%2” contains a control character, which an autostart entry cannot "
                               "hold.")
                    .arg(what, path));
    }
    return true;
}

// A string value: the backslash is the one character here that needs escaping, since
// control characters are refused before.
QString stringValue(const QString &text)
{
    return QString(text).replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

QString fromStringValue(const QString &value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const QChar escaped = value[++i];
        if (escaped == QLatin1Char('s'))
            text += QLatin1Char(' ');
        else if (escaped == QLatin1Char('n'))
            text += QLatin1Char('\n');
        else if (escaped == QLatin1Char('t'))
            text += QLatin1Char('\t');
        else if (escaped == QLatin1Char('r'))
            text += QLatin1Char('\r');
        else
            text += escaped;
    }
    return text;
}

// One argument of the Exec key, quoted whole: inside the quotes '"', '`', '$' and '\'
// take a backslash, and "%" is doubled so that it is no field code.
QString execWord(const QString &word)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : word) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += c;
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

} // namespace

std::optional<QString> autostartEntryName(const QString &label, QString *error)
{
    if (label.isEmpty()) {
        fail(error,
            QStringLiteral("The property list’s Label is empty, so it cannot name an autostart entry."));
        return std::nullopt;
    }
    QString name;
    const QByteArray bytes = label.toUtf8();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (keptAsIs(c, i == 0))
            name += QLatin1Char(c);
        else
            name += QStringLiteral("_%1").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
    }
    name += QStringLiteral(".desktop");
    if (name.size() > maximumFileNameLength) {
        fail(error,
            QStringLiteral("The property list’s Label “%1” makes an autostart entry name longer than %2 "
                           "characters.")
                .arg(label)
                .arg(maximumFileNameLength));
        return std::nullopt;
    }
    return name;
}

std::optional<QString> autostartEntryText(
    const QString &companionPath, const QString &propertyListPath, QString *error)
{
    if (!isUsablePath(QStringLiteral("program path"), companionPath, error)
        || !isUsablePath(QStringLiteral("property list path"), propertyListPath, error))
        return std::nullopt;
    if (companionPath.contains(QLatin1Char('='))) {
        fail(error,
            QStringLiteral("The program path “%1” contains “=”, which an autostart entry does not accept in "
                           "the path of its program. Move the application to a folder whose path has no “=” "
                           "and install again.")
                .arg(companionPath));
        return std::nullopt;
    }
    const QStringList lines = {
        QStringLiteral("# Written by orlinde-login install. It starts Orlinde at login on desktops that"),
        QStringLiteral("# run autostart entries themselves, while the property list named below exists."),
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=Orlinde"),
        QStringLiteral("Comment=Starts Orlinde at login while “Start at login” is on"),
        QStringLiteral("Exec=")
            + stringValue(QStringList {
                execWord(companionPath), execWord(QStringLiteral("run")), execWord(propertyListPath) }
                              .join(QLatin1Char(' '))),
        QStringLiteral("Terminal=false"),
        QStringLiteral("NoDisplay=true"),
        // On a desktop whose session systemd manages, the user unit starts the agent.
        QStringLiteral("X-systemd-skip=true"),
        propertyListKey + stringValue(propertyListPath),
    };
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

std::optional<QString> propertyListOfAutostartEntry(const QString &text)
{
    if (!text.startsWith(QStringLiteral("# Written by orlinde-login install.")))
        return std::nullopt;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(propertyListKey))
            return fromStringValue(line.mid(propertyListKey.size()));
    }
    return std::nullopt;
}

} // namespace login
