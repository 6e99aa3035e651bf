#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace platform::files {

// The size of the item at `path` itself (a symbolic link is not followed), or nothing
// when it cannot be examined.
std::optional<qint64> itemSize(const QString &path);
// Whether anything exists at `path`, following symbolic links.
bool fileExists(const QString &path);
bool isDirectory(const QString &path);
bool removeItem(const QString &path, QString *error = nullptr);
// Renames; fails when something already exists at `to`.
bool moveItem(const QString &from, const QString &to, QString *error = nullptr);
// Creates an empty file with exactly these permission bits (the umask does not apply).
bool createFile(const QString &path, unsigned mode);
// Creates `path` and every missing directory above it; an existing directory is no error.
bool createDirectory(const QString &path, QString *error = nullptr);
// Writes `data` to a temporary file beside `path` and renames it into place, so that
// `path` holds either its old state or all of `data`, never part of it.
bool writeAtomically(const QString &path, const QByteArray &data, QString *error = nullptr);
// Writes all of `data` to `fd`, however many writes that takes; false on any error.
bool writeAll(int fd, QByteArrayView data);
// Reads a whole regular file without ever blocking on a FIFO or device.
std::optional<QByteArray> readRegularFile(const QString &path);
// Everything left to read from `fd`, or nothing on a read error (a directory, a closed
// descriptor): an error never passes for the end of the data.
std::optional<QByteArray> readToEnd(int fd);

} // namespace platform::files
