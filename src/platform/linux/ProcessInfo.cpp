#include "platform/ProcessInfo.h"

#include <unistd.h>

extern char **environ;

namespace platform::processInfo {

QByteArrayList environment()
{
    QByteArrayList entries;
    for (char **entry = environ; entry && *entry; ++entry)
        entries << QByteArray(*entry);
    return entries;
}

qint64 processIdentifier()
{
    return ::getpid();
}

} // namespace platform::processInfo
