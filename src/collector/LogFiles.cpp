#include "collector/LogFiles.h"

#include "platform/FileManager.h"

bool needsRotation(std::optional<qint64> size)
{
    return size && *size > logRotationThreshold;
}

void rotateLog(const QString &path)
{
    const QString previousGeneration = path + QStringLiteral(".1");
    platform::files::removeItem(previousGeneration);
    platform::files::moveItem(path, previousGeneration);
}

void prepareLog(const QString &path)
{
    if (needsRotation(platform::files::itemSize(path)))
        rotateLog(path);
    if (!platform::files::fileExists(path))
        platform::files::createFile(path, 0600);
}

std::optional<platform::FileHandle> openLogForAppending(const QString &path)
{
    return platform::FileHandle::forAppendingAtPath(path);
}

void LogWriter::append(QByteArrayView data)
{
    if (!file || !file->isAtPath(path) || needsRotation(file->size())) {
        prepareLog(path);
        file = openLogForAppending(path);
    }
    if (!file || !file->write(data))
        file.reset();
}
