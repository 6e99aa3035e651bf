#include "platform/FileHandle.h"

#include "platform/FileManager.h"

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

FileHandle::FileHandle(FileHandle &&other) noexcept
    : descriptor(std::exchange(other.descriptor, -1))
{ }

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept
{
    if (this != &other) {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

FileHandle::~FileHandle()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

std::optional<FileHandle> FileHandle::forAppendingAtPath(const QString &path)
{
    // O_NONBLOCK keeps a FIFO at the path from stalling us; it is cleared again so the
    // writer that inherits the descriptor gets ordinary blocking writes.
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return FileHandle(fd);
}

bool FileHandle::write(QByteArrayView data) const
{
    return files::writeAll(descriptor, data);
}

std::optional<qint64> FileHandle::size() const
{
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0)
        return std::nullopt;
    return static_cast<qint64>(status.st_size);
}

bool FileHandle::isAtPath(const QString &path) const
{
    struct stat open = {};
    struct stat named = {};
    return ::fstat(descriptor, &open) == 0 && ::lstat(QFile::encodeName(path).constData(), &named) == 0
        && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace platform
