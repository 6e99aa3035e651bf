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

    // Opens an existing file for writing at offset 0, neither creating nor truncating
    // it and not in append mode. Never blocks: a FIFO without a reader fails.
    static std::optional<FileHandle> forWritingAtPath(const QString &path);

    bool seekToEnd();
    int fd() const { return descriptor; }

private:
    int descriptor = -1;
};

} // namespace platform
