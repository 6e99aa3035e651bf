#include "platform/ProcessInfo.h"

#include "platform/FileManager.h"

#include <QFile>
#include <csignal>
#include <sys/stat.h>
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

std::optional<ProcessIdentity> identityOf(qint64 pid)
{
    struct stat owner = {};
    const QString directory = QStringLiteral("/proc/%1").arg(pid);
    if (::stat(QFile::encodeName(directory).constData(), &owner) != 0 || owner.st_uid != ::geteuid())
        return std::nullopt;
    const std::optional<QByteArray> stat = files::readRegularFile(directory + QStringLiteral("/stat"));
    // "pid (command) state ppid ...": the command may hold spaces and parentheses, so
    // fields are counted from the last ")". The state is field 3, the start time field 22.
    const qsizetype end = stat ? stat->lastIndexOf(')') : -1;
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat->mid(end + 2).split(' ');
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    bool number = false;
    const quint64 started = fields[19].toULongLong(&number);
    if (!number)
        return std::nullopt;
    return ProcessIdentity { pid, started };
}

void signalProcess(const ProcessIdentity &identity, bool forcibly)
{
    if (identityOf(identity.pid) == identity)
        ::kill(static_cast<pid_t>(identity.pid), forcibly ? SIGKILL : SIGTERM);
}

} // namespace platform::processInfo
