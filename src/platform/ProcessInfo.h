#pragma once

#include <QByteArrayList>

namespace platform::processInfo {

// This process's environment as NAME=value entries, exactly as it holds them.
QByteArrayList environment();
qint64 processIdentifier();

} // namespace platform::processInfo
