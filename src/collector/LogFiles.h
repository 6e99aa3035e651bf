#pragma once

#include "platform/FileHandle.h"

#include <QString>
#include <optional>

constexpr qint64 logRotationThreshold = 1'048'576;

// While the collector runs, a log is let grow to this much before the collector is
// restarted so that its launch rotates the log.
constexpr qint64 logRestartThreshold = 2 * logRotationThreshold;

// Only a size known to be above the threshold rotates; exactly 1 MiB is kept.
bool needsRotation(std::optional<qint64> size);
// Whether a log that the running collector writes has grown past what it may hold.
bool hasOutgrownItsLimit(std::optional<qint64> size);

// Before a launch: moves an oversized log to its one ".1" generation and makes sure a
// file exists at `path`, created 0600 when missing. Every failure is silent.
void prepareLog(const QString &path);

// The log opened for appending, neither created nor truncated, or nothing. A FIFO or a
// symbolic link there fails, so the stream stays inherited: a FIFO would stall the
// launch, and a link would send the output to a file we never rotate.
std::optional<platform::FileHandle> openLogForAppending(const QString &path);
