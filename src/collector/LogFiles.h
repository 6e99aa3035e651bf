#pragma once

#include "platform/FileHandle.h"

#include <QByteArrayView>
#include <QString>
#include <optional>

constexpr qint64 logRotationThreshold = 1'048'576;

// Only a size known to be above the threshold rotates; exactly 1 MiB is kept.
bool needsRotation(std::optional<qint64> size);

// Moves the log to its one ".1" generation, which it replaces. Every failure is silent:
// the log then stays where it is.
void rotateLog(const QString &path);

// Before a launch: rotates an oversized log and makes sure a file exists at `path`,
// created 0600 when missing. Every failure is silent.
void prepareLog(const QString &path);

// The log opened for appending, neither created nor truncated, or nothing. A FIFO or a
// symbolic link there fails, so the stream stays inherited: a FIFO would stall the
// launch, and a link would send the output to a file we never rotate.
std::optional<platform::FileHandle> openLogForAppending(const QString &path);

// Appends what a running collector writes on one stream to its log, and rotates the log
// whenever it has grown past the threshold, so that the logs stay bounded without the
// collector ever being stopped for it. A log moved or removed meanwhile is made anew
// (0600); when none can be written, the output is dropped.
class LogWriter
{
public:
    explicit LogWriter(QString path)
        : path(std::move(path))
    { }

    const QString &logPath() const { return path; }
    void append(QByteArrayView data);

private:
    const QString path;
    std::optional<platform::FileHandle> file;
};
