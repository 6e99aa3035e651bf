#pragma once

#include <QString>
#include <optional>

namespace platform {

// The application bundle the executable belongs to. An executable inside
// `<Name>.app/Contents/MacOS/` belongs to that bundle; any other executable is its
// own bundle, with its resources beside it and no identifier.
class Bundle
{
public:
    static Bundle main();
    static Bundle forExecutable(const QString &resolvedExecutablePath);

    QString bundlePath() const { return path; }
    QString resourcePath() const { return resources; }
    // The path of resource `name.extension`, when it exists.
    std::optional<QString> urlForResource(const QString &name, const QString &extension) const;
    std::optional<QString> bundleIdentifier() const;

private:
    QString path;
    QString resources;
    QString infoPlist;
};

// Where the user keeps settings of their own for applications: $XDG_CONFIG_HOME when
// that is an absolute path, otherwise ~/.config.
QString userConfigurationDirectory();

} // namespace platform
