#pragma once

#include "platform/FileHandle.h"

#include <QByteArrayList>
#include <QString>
#include <QStringList>
#include <optional>
#include <sys/types.h>

namespace platform {

// A child process run directly (no shell, no search path), as the application's
// collector. The handle never waits for the child and never kills it harder than
// SIGTERM; whether it still runs is learnt by polling, which also reaps it.
// Destroying the handle leaves the child running.
class Task
{
public:
    Task() = default;
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;

    // A relative path is taken from this process's working directory, not the child's.
    void setExecutablePath(const QString &path) { executable = path; }
    void setArguments(const QStringList &list) { arguments = list; }
    void setCurrentDirectoryPath(const QString &path) { currentDirectory = path; }
    // The child's complete environment, as NAME=value entries passed on byte for byte.
    void setEnvironment(const QByteArrayList &entries) { environment = entries; }
    // Without a handle the child inherits the stream from this process. The handles are
    // given to the child and closed here once the launch has been tried.
    void setStandardOutput(std::optional<FileHandle> handle) { standardOutput = std::move(handle); }
    void setStandardError(std::optional<FileHandle> handle) { standardError = std::move(handle); }

    // Starts the child and returns at once; false when it cannot be started (missing or
    // non-executable executable, missing working directory), with the reason in
    // launchError. A handle launches once.
    bool launch();
    // Why the launch failed, as the system describes it.
    QString launchError() const { return failure; }
    bool isRunning();
    // Sends SIGTERM if the child has not yet been seen to exit.
    void terminate();
    pid_t processIdentifier() const { return pid; }

private:
    QString executable;
    QStringList arguments;
    QString currentDirectory;
    QByteArrayList environment;
    std::optional<FileHandle> standardOutput;
    std::optional<FileHandle> standardError;
    pid_t pid = 0;
    bool exited = false;
    QString failure;
};

} // namespace platform
