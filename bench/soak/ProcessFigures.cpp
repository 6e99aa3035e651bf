#include "ProcessFigures.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <unistd.h>

namespace {

int openDescriptors()
{
    // The listing opens /proc/self/fd itself; that one is not ours to count.
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()) - 1;
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// /proc/PID/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses,
// so the fields are read after the last ')'.
bool isZombieChildOf(const QByteArray &stat, pid_t parent)
{
    const qsizetype end = stat.lastIndexOf(')');
    if (end < 0)
        return false;
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    return fields.size() > 1 && fields.at(0) == "Z" && fields.at(1).toLong() == parent;
}

int zombieChildren()
{
    const pid_t self = getpid();
    int zombies = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toInt(&isPid);
        if (isPid
            && isZombieChildOf(contentsOf(QStringLiteral("/proc/") + entry + QStringLiteral("/stat")), self))
            ++zombies;
    }
    return zombies;
}

long residentKiB()
{
    for (const QByteArray &line : contentsOf(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLong();
    }
    return 0;
}

} // namespace

ProcessFigures currentFigures()
{
    return { openDescriptors(), zombieChildren(), residentKiB() };
}

QString describe(const ProcessFigures &figures)
{
    return QStringLiteral("%1 descriptors, %2 zombie children, RSS %3 KiB")
        .arg(figures.descriptors)
        .arg(figures.zombieChildren)
        .arg(figures.residentKiB);
}
