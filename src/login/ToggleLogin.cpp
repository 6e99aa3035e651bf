#include "main/Orlinde.h"

#include "login/LaunchAgent.h"
#include "platform/Alert.h"
#include "platform/FileManager.h"
#include "platform/PropertyList.h"

#include <QFileInfo>

namespace {

const QString failureMessage = QStringLiteral("Could not change startup setting");

// Writes the agent whole or not at all; on failure, the reason for the user.
bool writeLaunchAgent(const QString &path, const QVariantMap &propertyList, QString *error)
{
    const std::optional<QByteArray> data = platform::propertylist::xmlData(propertyList, error);
    return data && platform::files::createDirectory(QFileInfo(path).absolutePath(), error)
        && platform::files::writeAtomically(path, *data, error);
}

} // namespace

void Orlinde::toggleLogin()
{
    const QString path = settings->launchAgent;
    if (platform::files::fileExists(path)) {
        // A failed removal stays silent, except for a folder: it is never removed, and
        // without a word the setting would look stuck on for no reason.
        if (!platform::files::removeItem(path) && platform::files::isDirectory(path))
            platform::runModalAlert(failureMessage,
                QStringLiteral("“%1” is a folder, not a login item file. Orlinde leaves the folder and "
                               "everything in it as it is, so “Start at login” stays on until the folder "
                               "is moved away.")
                    .arg(path));
    } else {
        const QVariantMap propertyList
            = launchAgentPropertyList(*settings, logURL(QStringLiteral("launcher.log")).toLocalFile(),
                logURL(QStringLiteral("launcher-error.log")).toLocalFile());
        QString error;
        if (!writeLaunchAgent(path, propertyList, &error))
            platform::runModalAlert(failureMessage, error);
    }
    refresh();
}
