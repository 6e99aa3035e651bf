#include "login/StartAtLogin.h"

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

StartAtLogin::StartAtLogin(Settings settings)
    : settings(std::move(settings))
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
    return std::nullopt;
}
