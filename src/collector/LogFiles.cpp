#include "collector/LogFiles.h"

#include "platform/FileManager.h"

bool needsRotation(std::optional<qint64> size)
{
    return size && *size > logRotationThreshold;
}

bool hasOutgrownItsLimit(std::optional<qint64> size)
{
    return size && *size > logRestartThreshold;
}

void prepareLog(const QString &path)
{
    const QString previousGeneration = path + QStringLiteral(".1");
    if (needsRotation(platform::files::itemSize(path))) {
        platform::files::removeItem(previousGeneration);
        platform::files::moveItem(path, previousGeneration);
    }
    if (!platform::files::fileExists(path))
        platform::files::createFile(path, 0600);
}

std::optional<platform::FileHandle> openLogForAppending(const QString &path)
{
    return platform::FileHandle::forAppendingAtPath(path);
}
