#include "Install.h"

#include "AgentDescription.h"
#include "Diagnostics.h"
#include "UnitFile.h"
#include "platform/FileManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace login {

namespace {

constexpr int systemctlTimeoutMs = 60'000;

// The user's own unit directory, under $XDG_CONFIG_HOME as systemd reads it.
QString userUnitDirectory()
{
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/systemd/user");
}

struct Outcome
{
    bool succeeded = false;
    QString errorOutput;
};

Outcome systemctl(const QStringList &arguments, QProcess::ProcessChannelMode channels)
{
    QProcess process;
    process.setProcessChannelMode(channels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(QStringLiteral("systemctl"), QStringList { QStringLiteral("--user") } + arguments);
    if (!process.waitForStarted())
        return { false, process.errorString() };
    if (!process.waitForFinished(systemctlTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return { false, QStringLiteral("systemctl did not answer") };
    }
    const bool succeeded = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return { succeeded, QString::fromLocal8Bit(process.readAllStandardError()).trimmed() };
}

QString shellWord(const QString &unitName)
{
    // Unit names hold letters, digits, ":_.-" and backslash escapes; only the backslash
    // needs protecting from a shell.
    return unitName.contains(QLatin1Char('\\')) ? QLatin1Char('\'') + unitName + QLatin1Char('\'') : unitName;
}

} // namespace

int installAgent(const QString &propertyListPath)
{
    const QString propertyList = QDir::cleanPath(QFileInfo(propertyListPath).absoluteFilePath());
    QString error;
    const std::optional<AgentDescription> agent = readAgentDescription(propertyList, &error);
    if (!agent) {
        complain(error
            + QStringLiteral(" The unit takes its name from the property list: turn on “Start at login” in "
                             "Orlinde's menu, then install again."));
        return 1;
    }
    const std::optional<QString> unitName = unitNameForLabel(agent->label, &error);
    const QString companion = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const std::optional<QString> text
        = unitName ? unitFileText(companion, propertyList, &error) : std::nullopt;
    if (!text) {
        complain(error);
        return 1;
    }

    const QString directory = userUnitDirectory();
    const QString unitPath = directory + QLatin1Char('/') + *unitName;
    if (!platform::files::createDirectory(directory, &error)
        || !platform::files::writeAtomically(unitPath, text->toUtf8(), &error)) {
        complain(error);
        return 1;
    }
    say(QStringLiteral("Wrote %1").arg(unitPath));

    const Outcome probe = systemctl({ QStringLiteral("show-environment") }, QProcess::SeparateChannels);
    if (!probe.succeeded) {
        complain(QStringLiteral("No systemd user manager is reachable (%1), so the unit is written but not "
                                "enabled. Inside your desktop session, run: systemctl --user enable %2")
                     .arg(probe.errorOutput, shellWord(*unitName)));
        return 1;
    }
    if (!systemctl({ QStringLiteral("enable"), *unitName }, QProcess::ForwardedChannels).succeeded) {
        complain(QStringLiteral("systemctl --user enable %1 failed.").arg(shellWord(*unitName)));
        return 1;
    }
    say(QStringLiteral("Enabled %1: Orlinde starts at login while “Start at login” is on.").arg(*unitName));
    return 0;
}

} // namespace login
