#pragma once

#include "platform/FileHandle.h"

#include <QString>
#include <optional>

constexpr qint64 logRotationThreshold = 1'048'576;

// Only a size known to be above the threshold rotates; exactly 1 MiB is kept.
bool needsRotation(std::optional<qint64> size);

// Before a launch: moves an oversized log to its one ".1" generation and makes sure a
// file exists at `path`, created 0600 when missing. Every failure is silent.
void prepareLog(const QString &path);

// The log opened for writing at its end, neither created nor truncated, or nothing.
// A FIFO there fails instead of stalling the launch.
std::optional<platform::FileHandle> openLogAtEnd(const QString &path);
