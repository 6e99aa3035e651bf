#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

namespace platform {

// An owned file descriptor, closed when the handle goes.
class FileHandle
{
public:
    explicit FileHandle(int fd)
        : descriptor(fd)
    { }
    FileHandle(FileHandle &&other) noexcept;
    FileHandle &operator=(FileHandle &&other) noexcept;
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle();

    // Opens an existing file for appending, neither creating nor truncating it. Every
    // write lands at the end, whoever else writes or truncates the file. Never blocks (a
    // FIFO without a reader fails) and never follows a symbolic link at `path`.
    static std::optional<FileHandle> forAppendingAtPath(const QString &path);

    int fd() const { return descriptor; }
    // Writes all of `data`; false on any error.
    bool write(QByteArrayView data) const;
    // The size of the open file, or nothing when it cannot be examined.
    std::optional<qint64> size() const;
    // Whether `path` still names the open file: not moved away, removed or replaced.
    bool isAtPath(const QString &path) const;

private:
    int descriptor = -1;
};

} // namespace platform
