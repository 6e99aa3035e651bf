#include "login/StartAtLogin.h"

#include "AgentDescription.h"
#include "login/LaunchAgent.h"
#include "platform/FileManager.h"
#include "platform/PropertyList.h"

#include <QFileInfo>

namespace {

// Writes the agent whole or not at all; on failure, the reason for the user.
bool writeLaunchAgent(const QString &path, const QVariantMap &propertyList, QString *error)
{
    const std::optional<QByteArray> data = platform::propertylist::xmlData(propertyList, error);
    return data && platform::files::createDirectory(QFileInfo(path).absolutePath(), error)
        && platform::files::writeAtomically(path, *data, error);
}

} // namespace

StartAtLogin::StartAtLogin(
    Settings settings, QString executable, QString companion, login::ConfigFolders folders)
    : settings(std::move(settings))
    , executable(std::move(executable))
    , installer(std::move(companion), std::move(folders))
{ }

bool StartAtLogin::isOn() const
{
    return platform::files::fileExists(settings.launchAgent);
}

std::optional<QString> StartAtLogin::toggle()
{
    const QString path = settings.launchAgent;
    if (isOn()) {
        // A failed removal stays silent, except for a folder: it is never removed, and
        // without a word the setting would look stuck on for no reason.
        if (!platform::files::removeItem(path) && platform::files::isDirectory(path))
            return QStringLiteral("“%1” is a folder, not a login item file. Orlinde leaves the folder and "
                                  "everything in it as it is, so “Start at login” stays on until the folder "
                                  "is moved away.")
                .arg(path);
        return std::nullopt;
    }
    const QVariantMap propertyList
        = launchAgentPropertyList(settings, settings.logURL(QStringLiteral("launcher.log")).toLocalFile(),
            settings.logURL(QStringLiteral("launcher-error.log")).toLocalFile());
    QString error;
    if (!writeLaunchAgent(path, propertyList, &error))
        return error;
    const std::optional<QString> failure = setUpLoginStart();
    if (failure) {
        // Half on would show a check mark for a login start that never comes, and the
        // alert again at every launch: the switch stays off, with nothing left behind.
        platform::files::removeItem(path);
        installer.uninstall(path);
    }
    return failure;
}

std::optional<QString> StartAtLogin::keepCurrent()
{
    if (!isOn())
        return std::nullopt;
    // A file that is no agent (a folder, someone else's file) is left as it is.
    const std::optional<login::AgentDescription> agent = login::readAgentDescription(settings.launchAgent);
    if (!agent)
        return std::nullopt;
    if (!QFileInfo::exists(agent->programArguments.constFirst()) && QFileInfo::exists(executable)) {
        // The settings may name the old place too; the app that runs now is the one to start.
        Settings here = settings;
        if (!QFileInfo::exists(here.appExecutable))
            here.appExecutable = executable;
        const QVariantMap propertyList
            = launchAgentPropertyList(here, settings.logURL(QStringLiteral("launcher.log")).toLocalFile(),
                settings.logURL(QStringLiteral("launcher-error.log")).toLocalFile());
        QString error;
        if (!writeLaunchAgent(settings.launchAgent, propertyList, &error))
            return error;
    }
    if (installer.check(settings.launchAgent).current)
        return std::nullopt;
    return setUpLoginStart();
}

std::optional<QString> StartAtLogin::setUpLoginStart()
{
    const login::LoginStartOutcome outcome = installer.install(settings.launchAgent);
    if (outcome.status == login::LoginStartOutcome::Status::failed)
        return outcome.description;
    return std::nullopt;
}
