#pragma once

#include <QFile>
#include <sys/stat.h>

// Writes `content` to `path` and gives the file `mode`, whatever the umask says.
inline bool writeFile(const QString &path, const QByteArray &content, mode_t mode = 0600)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush()
        && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Empty when `path` cannot be read.
inline QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The permission bits of `path`, or 0 when it cannot be examined.
inline unsigned modeOf(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0u;
}
