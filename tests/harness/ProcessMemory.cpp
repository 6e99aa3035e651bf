#include "ProcessMemory.h"

#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr quint64 maximumRegion = quint64(1) << 32;

struct Region
{
    quint64 start = 0;
    quint64 end = 0;
};

// The readable mappings, from lines such as "7f..-7f.. r-xp 0000 08:01 123 /lib/...".
std::optional<QList<Region>> readableRegions(qint64 pid, QString *error)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly)) {
        *error = maps.fileName() + QStringLiteral(": ") + maps.errorString();
        return std::nullopt;
    }
    QList<Region> regions;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        // The kernel's own pages ([vvar], [vsyscall]) cannot be read through mem.
        if (fields.size() < 2 || !fields[1].startsWith('r') || line.contains("[vvar]")
            || line.contains("[vsyscall]"))
            continue;
        const QList<QByteArray> range = fields[0].split('-');
        const Region region { range[0].toULongLong(nullptr, 16), range[1].toULongLong(nullptr, 16) };
        // Terabytes of address space that a sanitizer reserves for its shadow memory:
        // never the app's data, and too long to read.
        if (region.end - region.start > maximumRegion)
            continue;
        regions.append(region);
    }
    return regions;
}

} // namespace

std::optional<int> occurrencesInMemory(qint64 pid, const QByteArray &bytes, QString *error)
{
    const std::optional<QList<Region>> regions = readableRegions(pid, error);
    if (!regions)
        return std::nullopt;
    const QString memPath = QStringLiteral("/proc/%1/mem").arg(pid);
    const int mem = ::open(QFile::encodeName(memPath).constData(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        *error = memPath + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return std::nullopt;
    }
    constexpr qsizetype chunk = 1 << 20;
    int count = 0;
    QByteArray buffer;
    for (const Region &region : *regions) {
        // Chunks overlap by the length of `bytes` less one, so none is missed at a seam.
        for (quint64 at = region.start; at < region.end;) {
            const auto wanted = static_cast<qsizetype>(std::min<quint64>(chunk, region.end - at));
            buffer.resize(wanted);
            const ssize_t got
                = ::pread(mem, buffer.data(), static_cast<size_t>(wanted), static_cast<off_t>(at));
            if (got <= 0)
                break;
            buffer.truncate(got);
            for (qsizetype found = buffer.indexOf(bytes); found >= 0;
                 found = buffer.indexOf(bytes, found + 1))
                ++count;
            if (at + static_cast<quint64>(got) >= region.end || got < bytes.size())
                break;
            at += static_cast<quint64>(got - bytes.size() + 1);
        }
    }
    ::close(mem);
    return count;
}
