#include "platform/FileManager.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::files {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool fail(QString *error, const QString &what, const QString &path, int errorNumber)
{
    if (error)
        *error = QStringLiteral("%1 “%2”: %3.")
                     .arg(what, path, QString::fromLocal8Bit(std::strerror(errorNumber)));
    return false;
}

} // namespace

bool writeAll(int fd, QByteArrayView data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

std::optional<qint64> itemSize(const QString &path)
{
    struct stat status = {};
    if (::lstat(encoded(path).constData(), &status) != 0)
        return std::nullopt;
    return static_cast<qint64>(status.st_size);
}

bool fileExists(const QString &path)
{
    struct stat status = {};
    return ::stat(encoded(path).constData(), &status) == 0;
}

bool isDirectory(const QString &path)
{
    struct stat status = {};
    return ::lstat(encoded(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool removeItem(const QString &path, QString *error)
{
    // Directories are never removed here: a misplaced path must not cost anyone a tree.
    if (isDirectory(path))
        return fail(error, QStringLiteral("Could not remove the folder"), path, EISDIR);
    if (::unlink(encoded(path).constData()) != 0)
        return fail(error, QStringLiteral("Could not remove"), path, errno);
    return true;
}

bool moveItem(const QString &from, const QString &to, QString *error)
{
    const QByteArray source = encoded(from);
    const QByteArray destination = encoded(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // NFS and FUSE filesystems refuse every rename flag: there the check and the rename
    // are two steps, which is enough for files only we move.
    if (errno != EINVAL)
        return fail(error, QStringLiteral("Could not move"), from, errno);
    struct stat status = {};
    if (::lstat(destination.constData(), &status) == 0)
        return fail(error, QStringLiteral("Could not move"), from, EEXIST);
    if (::rename(source.constData(), destination.constData()) != 0)
        return fail(error, QStringLiteral("Could not move"), from, errno);
    return true;
}

bool createFile(const QString &path, unsigned mode)
{
    const int fd
        = ::open(encoded(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0)
        return false;
    const bool modeSet = ::fchmod(fd, mode) == 0;
    ::close(fd);
    return modeSet;
}

bool createDirectory(const QString &path, QString *error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QString built;
    for (const QString &component : absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        built += QLatin1Char('/') + component;
        if (::mkdir(encoded(built).constData(), 0777) == 0 || errno != EEXIST)
            continue;
        struct stat status = {};
        if (::stat(encoded(built).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
            return fail(error, QStringLiteral("Could not create the folder"), built, ENOTDIR);
    }
    struct stat status = {};
    if (::stat(encoded(absolute).constData(), &status) != 0)
        return fail(error, QStringLiteral("Could not create the folder"), absolute, errno);
    if (!S_ISDIR(status.st_mode))
        return fail(error, QStringLiteral("Could not create the folder"), absolute, ENOTDIR);
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &data, QString *error)
{
    const QFileInfo target(path);
    QByteArray temporary = encoded(
        target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(error, QStringLiteral("Could not write"), path, errno);
    // Files are created 0600 by mkostemp; give the result the usual mode for new files.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const bool written = ::fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.constData());
        return fail(error, QStringLiteral("Could not write"), path, written ? errno : writeErrno);
    }
    if (::rename(temporary.constData(), encoded(path).constData()) != 0) {
        const int renameErrno = errno;
        ::unlink(temporary.constData());
        return fail(error, QStringLiteral("Could not write"), path, renameErrno);
    }
    // The rename itself reaches the disk only with its directory.
    const int directory
        = ::open(encoded(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

std::optional<QByteArray> readRegularFile(const QString &path)
{
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::optional<QByteArray> content = readToEnd(fd);
    ::close(fd);
    return content;
}

std::optional<QByteArray> readToEnd(int fd)
{
    QByteArray content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return content;
        content.append(buffer, n);
    }
}

} // namespace platform::files
