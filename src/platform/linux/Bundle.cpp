#include "platform/Bundle.h"

#include "platform/FileManager.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>

namespace platform {

Bundle Bundle::main()
{
    std::error_code error;
    const auto executable = std::filesystem::canonical("/proc/self/exe", error);
    return forExecutable(error ? QString() : QString::fromStdString(executable.string()));
}

Bundle Bundle::forExecutable(const QString &resolvedExecutablePath)
{
    Bundle bundle;
    const QDir executableDir = QFileInfo(resolvedExecutablePath).dir();
    QDir contents = executableDir;
    if (executableDir.dirName() == QLatin1String("MacOS") && contents.cdUp()
        && contents.dirName() == QLatin1String("Contents")) {
        QDir app = contents;
        if (app.cdUp() && app.dirName().endsWith(QLatin1String(".app"))) {
            bundle.path = app.absolutePath();
            bundle.resources = contents.absoluteFilePath(QStringLiteral("Resources"));
            bundle.infoPlist = contents.absoluteFilePath(QStringLiteral("Info.plist"));
            return bundle;
        }
    }
    bundle.path = executableDir.absolutePath();
    bundle.resources = bundle.path;
    return bundle;
}

std::optional<QString> Bundle::urlForResource(const QString &name, const QString &extension) const
{
    const QString candidate = resources + QLatin1Char('/') + name + QLatin1Char('.') + extension;
    if (!QFileInfo::exists(candidate))
        return std::nullopt;
    return candidate;
}

std::optional<QString> Bundle::bundleIdentifier() const
{
    if (infoPlist.isEmpty())
        return std::nullopt;
    // Read the way every file of ours is: a FIFO here must not hang the start.
    const std::optional<QByteArray> data = files::readRegularFile(infoPlist);
    if (!data)
        return std::nullopt;
    const std::optional<QVariant> info = propertylist::fromData(*data);
    if (!info)
        return std::nullopt;
    const QVariant identifier = info->toMap().value(QStringLiteral("CFBundleIdentifier"));
    if (identifier.typeId() != QMetaType::QString)
        return std::nullopt;
    return identifier.toString();
}

QString userConfigurationDirectory()
{
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    return QDir::isAbsolutePath(configHome) ? configHome : QDir::homePath() + QStringLiteral("/.config");
}

} // namespace platform
