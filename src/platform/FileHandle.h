#pragma once

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

private:
    int descriptor = -1;
};

} // namespace platform
