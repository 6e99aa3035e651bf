#include "LoginStartInstaller.h"

#include "AgentDescription.h"
#include "AutostartEntry.h"
#include "UnitFile.h"
#include "platform/Bundle.h"
#include "platform/FileManager.h"

#include <QDir>
#include <QFileInfo>

namespace login {

struct LoginStartInstaller::Files
{
    QString propertyList;
    QString unitName;
    QString unitPath;
    QByteArray unitText;
    QString entryPath;
    QByteArray entryText;
};

namespace {

using NamedPropertyList = std::optional<QString> (*)(const QString &text);

QString absolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool holds(const QString &path, const QByteArray &text)
{
    return platform::files::readRegularFile(path) == text;
}

// The files with `suffix` in `folder` that this program wrote for `propertyList`.
QStringList filesNaming(
    const QString &folder, const QString &suffix, const QString &propertyList, NamedPropertyList named)
{
    QStringList found;
    const QDir directory(folder);
    for (const QString &name : directory.entryList({ QLatin1Char('*') + suffix }, QDir::Files, QDir::Name)) {
        const QString path = directory.filePath(name);
        const std::optional<QByteArray> data = platform::files::readRegularFile(path);
        if (data && named(QString::fromUtf8(*data)) == propertyList)
            found << path;
    }
    return found;
}

// What DisableUnitFiles would remove: the unit's links in the .wants and .requires
// folders beside it. Done by hand only when no manager can do it.
bool removeEnablementLinks(const QString &unitPath, QStringList *steps, QString *error)
{
    const QFileInfo unit(unitPath);
    const QDir folder = unit.dir();
    for (const QString &dependencies :
        folder.entryList({ QStringLiteral("*.wants"), QStringLiteral("*.requires") }, QDir::Dirs)) {
        const QString link = folder.filePath(dependencies + QLatin1Char('/') + unit.fileName());
        if (!QFileInfo(link).isSymLink())
            continue;
        if (!platform::files::removeItem(link, error))
            return false;
        *steps << QStringLiteral("Removed %1").arg(link);
        // systemd leaves no empty dependency folder behind either.
        folder.rmdir(dependencies);
    }
    return true;
}

bool removeFiles(const QStringList &paths, QStringList *steps, QString *error)
{
    for (const QString &path : paths) {
        if (!platform::files::removeItem(path, error))
            return false;
        *steps << QStringLiteral("Removed %1").arg(path);
    }
    return true;
}

QStringList fileNames(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths)
        names << QFileInfo(path).fileName();
    return names;
}

LoginStartOutcome outcome(
    LoginStartOutcome::Status status, const QString &description, const QStringList &steps)
{
    return { status, description, steps };
}

} // namespace

ConfigFolders ConfigFolders::fromEnvironment()
{
    const QString configHome = platform::userConfigurationDirectory();
    return { configHome + QStringLiteral("/systemd/user"), configHome + QStringLiteral("/autostart") };
}

LoginStartInstaller::LoginStartInstaller(
    QString companionPath, ConfigFolders folders, std::chrono::milliseconds managerTimeout)
    : companionPath(std::move(companionPath))
    , folders(std::move(folders))
    , manager(managerTimeout)
{ }

std::optional<LoginStartInstaller::Files> LoginStartInstaller::filesFor(
    const QString &propertyListPath, QString *error) const
{
    Files files;
    files.propertyList = absolutePath(propertyListPath);
    const std::optional<AgentDescription> agent = readAgentDescription(files.propertyList, error);
    if (!agent)
        return std::nullopt;
    const std::optional<QString> unitName = unitNameForLabel(agent->label, error);
    const std::optional<QString> unitText
        = unitName ? unitFileText(companionPath, files.propertyList, error) : std::nullopt;
    const std::optional<QString> entryName
        = unitText ? autostartEntryName(agent->label, error) : std::nullopt;
    const std::optional<QString> entryText
        = entryName ? autostartEntryText(companionPath, files.propertyList, error) : std::nullopt;
    if (!entryText)
        return std::nullopt;
    files.unitName = *unitName;
    files.unitPath = folders.units + QLatin1Char('/') + *unitName;
    files.unitText = unitText->toUtf8();
    files.entryPath = folders.autostart + QLatin1Char('/') + *entryName;
    files.entryText = entryText->toUtf8();
    if (files.entryPath == files.propertyList) {
        if (error)
            *error = QStringLiteral("The property list “%1” is where its autostart entry belongs. Give "
                                    "“launchAgent” another path.")
                         .arg(files.propertyList);
        return std::nullopt;
    }
    return files;
}

LoginStartOutcome LoginStartInstaller::install(const QString &propertyListPath)
{
    using Status = LoginStartOutcome::Status;
    QString error;
    const std::optional<Files> files = filesFor(propertyListPath, &error);
    if (!files)
        return outcome(Status::failed, error, {});
    QStringList oldUnits
        = filesNaming(folders.units, QStringLiteral(".service"), files->propertyList, propertyListOfUnit);
    oldUnits.removeAll(files->unitPath);
    QStringList oldEntries = filesNaming(
        folders.autostart, QStringLiteral(".desktop"), files->propertyList, propertyListOfAutostartEntry);
    oldEntries.removeAll(files->entryPath);

    QStringList steps;
    for (const auto &[path, text] : { std::pair { files->unitPath, files->unitText },
             std::pair { files->entryPath, files->entryText } }) {
        if (!platform::files::createDirectory(QFileInfo(path).path(), &error)
            || !platform::files::writeAtomically(path, text, &error))
            return outcome(Status::failed, error, steps);
        steps << QStringLiteral("Wrote %1").arg(path);
    }

    // Units left from an earlier label would start the agent a second time.
    bool managed = manager.isReachable();
    if (managed && !oldUnits.isEmpty()) {
        managed = manager.disableUnitFiles(fileNames(oldUnits), &error);
        if (!managed && manager.isReachable())
            return outcome(Status::failed, error, steps);
    }
    for (const QString &unit : oldUnits) {
        if (!managed && !removeEnablementLinks(unit, &steps, &error))
            return outcome(Status::failed, error, steps);
    }
    if (!removeFiles(oldUnits + oldEntries, &steps, &error))
        return outcome(Status::failed, error, steps);

    if (managed && manager.enableUnitFiles({ files->unitPath }, &error) && manager.reload(&error)) {
        steps << QStringLiteral("Enabled %1").arg(files->unitName);
        return outcome(Status::done, QString(), steps);
    }
    QString reason;
    if (manager.isReachable(&reason))
        return outcome(
            Status::failed, QStringLiteral("Could not enable %1: %2.").arg(files->unitName, error), steps);
    return outcome(Status::notEnabled,
        QStringLiteral("%1 is written but not enabled: no systemd user manager is reachable (%2).")
            .arg(files->unitName, reason),
        steps);
}

LoginStartOutcome LoginStartInstaller::uninstall(const QString &propertyListPath)
{
    using Status = LoginStartOutcome::Status;
    const QString propertyList = absolutePath(propertyListPath);
    const QStringList units
        = filesNaming(folders.units, QStringLiteral(".service"), propertyList, propertyListOfUnit);
    const QStringList entries = filesNaming(
        folders.autostart, QStringLiteral(".desktop"), propertyList, propertyListOfAutostartEntry);
    QStringList steps;
    QString error;
    bool managed = false;
    if (!units.isEmpty() && manager.isReachable()) {
        managed = manager.disableUnitFiles(fileNames(units), &error);
        if (!managed && manager.isReachable())
            return outcome(
                Status::failed, QStringLiteral("Could not disable the unit: %1.").arg(error), steps);
        if (managed)
            steps << QStringLiteral("Disabled %1").arg(fileNames(units).join(QStringLiteral(", ")));
    }
    for (const QString &unit : units) {
        if (!managed && !removeEnablementLinks(unit, &steps, &error))
            return outcome(Status::failed, error, steps);
    }
    if (!removeFiles(units + entries, &steps, &error))
        return outcome(Status::failed, error, steps);
    if (managed && !manager.reload(&error) && manager.isReachable())
        return outcome(Status::failed,
            QStringLiteral("Could not reload the systemd user manager: %1.").arg(error), steps);
    return outcome(Status::done, QString(), steps);
}

LoginStartCheck LoginStartInstaller::check(const QString &propertyListPath)
{
    QString error;
    const std::optional<Files> files = filesFor(propertyListPath, &error);
    if (!files)
        return { false, error };
    if (!holds(files->unitPath, files->unitText))
        return { false,
            QStringLiteral("%1 does not hold the unit for this installation").arg(files->unitPath) };
    if (!holds(files->entryPath, files->entryText))
        return {
            false,
            QStringLiteral("%1 does not hold the autostart entry for this installation").arg(files->entryPath)
        };
    if (!manager.isReachable())
        return { true, QString() };
    const std::optional<QString> state = manager.unitFileState(files->unitName, &error);
    if (state && *state != QLatin1String("enabled"))
        return { false, QStringLiteral("%1 is %2, not enabled").arg(files->unitName, *state) };
    return { true, QString() };
}

bool LoginStartInstaller::unitStartsAgentInThisSession(const QString &propertyListPath)
{
    if (!check(propertyListPath).current || !manager.isReachable())
        return false;
    const std::optional<QString> session = manager.activeState(QStringLiteral("graphical-session.target"));
    return session == QLatin1String("active") || session == QLatin1String("activating")
        || session == QLatin1String("reloading");
}

} // namespace login
