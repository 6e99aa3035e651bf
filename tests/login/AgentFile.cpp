#include "AgentFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

namespace agentfile {

QJsonObject expected(const QString &label, const QString &appExecutable, const QString &dataDirectory)
{
    return {
        { QStringLiteral("Label"), label },
        { QStringLiteral("ProgramArguments"), QJsonArray { appExecutable } },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("KeepAlive"), QJsonObject { { QStringLiteral("SuccessfulExit"), false } } },
        { QStringLiteral("ThrottleInterval"), 15 },
        { QStringLiteral("StandardOutPath"), dataDirectory + QStringLiteral("/launcher.log") },
        { QStringLiteral("StandardErrorPath"), dataDirectory + QStringLiteral("/launcher-error.log") },
    };
}

namespace {

// The system's own interpreter first: version-manager shims in PATH cost a second a call.
QString python()
{
    const QString system
        = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
    return system.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("python3")) : system;
}

} // namespace

bool plistlibAvailable()
{
    return !python().isEmpty();
}

std::optional<QJsonObject> parsedByPlistlib(const QString &path, QString *error)
{
    // Integers must stay integers: a real 15.0 would come out of json.dumps as "15.0".
    static const QString script = QStringLiteral("import json, plistlib, sys\n"
                                                 "with open(sys.argv[1], 'rb') as f:\n"
                                                 "    value = plistlib.load(f, fmt=plistlib.FMT_XML)\n"
                                                 "if not isinstance(value.get('ThrottleInterval'), int) or "
                                                 "isinstance(value.get('ThrottleInterval'), bool):\n"
                                                 "    sys.exit('ThrottleInterval is not an integer')\n"
                                                 "print(json.dumps(value))\n");
    QProcess interpreter;
    interpreter.start(python(), { QStringLiteral("-c"), script, path });
    if (!interpreter.waitForFinished(30'000) || interpreter.exitStatus() != QProcess::NormalExit
        || interpreter.exitCode() != 0) {
        *error = QStringLiteral("plistlib refused %1: %2")
                     .arg(path, QString::fromUtf8(interpreter.readAllStandardError()));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(interpreter.readAllStandardOutput(), &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("plistlib gave no dictionary: %1").arg(parseError.errorString());
        return std::nullopt;
    }
    return document.object();
}

QString formProblems(const QByteArray &xml)
{
    const QList<QByteArray> required = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">",
        "<plist version=\"1.0\">",
        "<integer>15</integer>",
        "<key>RunAtLoad</key>\n\t<true/>",
        "<key>SuccessfulExit</key>\n\t\t<false/>",
    };
    if (!xml.startsWith(required.front()))
        return QStringLiteral("no XML declaration at the start");
    for (const QByteArray &part : required) {
        if (!xml.contains(part))
            return QStringLiteral("missing %1").arg(QString::fromUtf8(part));
    }
    return {};
}

} // namespace agentfile
