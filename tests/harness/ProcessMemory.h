#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// How many times `bytes` occur in the readable memory of process `pid` (a child of
// this one, or one this user may trace), mappings over 4 GiB left out; nothing, with
// the reason in `error`, when its memory cannot be read.
std::optional<int> occurrencesInMemory(qint64 pid, const QByteArray &bytes, QString *error);
