#include "Install.h"

#include "AgentDescription.h"
#include "Diagnostics.h"
#include "LoginStartInstaller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace login {

namespace {

LoginStartInstaller installerForThisCompanion()
{
    return LoginStartInstaller(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
}

void tell(const QStringList &steps)
{
    for (const QString &step : steps)
        say(step);
}

} // namespace

int installAgent(const QString &propertyListPath)
{
    const QString propertyList = QDir::cleanPath(QFileInfo(propertyListPath).absoluteFilePath());
    QString error;
    if (!readAgentDescription(propertyList, &error)) {
        complain(error
            + QStringLiteral(" The unit takes its name from the property list: turn on “Start at login” in "
                             "Orlinde's menu, then install again."));
        return 1;
    }
    LoginStartInstaller installer = installerForThisCompanion();
    const LoginStartOutcome outcome = installer.install(propertyList);
    tell(outcome.steps);
    switch (outcome.status) {
    case LoginStartOutcome::Status::done:
        say(QStringLiteral("Orlinde starts at login while “Start at login” is on."));
        return 0;
    case LoginStartOutcome::Status::notEnabled:
        complain(outcome.description
            + QStringLiteral(" Desktops that run autostart entries start Orlinde all the same; for a session "
                             "that systemd manages, run this command again inside it."));
        return 1;
    case LoginStartOutcome::Status::failed:
        break;
    }
    complain(outcome.description);
    return 1;
}

int uninstallAgent(const QString &propertyListPath)
{
    LoginStartInstaller installer = installerForThisCompanion();
    const LoginStartOutcome outcome = installer.uninstall(propertyListPath);
    tell(outcome.steps);
    if (outcome.status == LoginStartOutcome::Status::failed) {
        complain(outcome.description);
        return 1;
    }
    if (outcome.steps.isEmpty())
        say(QStringLiteral("Nothing to remove: no unit or autostart entry of Orlinde's names “%1”.")
                .arg(QDir::cleanPath(QFileInfo(propertyListPath).absoluteFilePath())));
    return 0;
}

} // namespace login
