#include "platform/OutputPipe.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {
// Read per wake-up, so that a collector in full flow never starves the event loop.
constexpr qsizetype readAtOnce = 1 << 16;
} // namespace

class OutputPipe::Reader final
{
public:
    Reader(FileHandle readEnd, FileHandle writeEnd, std::function<void(QByteArrayView)> onData)
        : readEnd(std::move(readEnd))
        , writeEnd(std::move(writeEnd))
        , onData(std::move(onData))
        , readable(this->readEnd.fd(), QSocketNotifier::Read)
    {
        QObject::connect(&readable, &QSocketNotifier::activated, [this] { read(); });
    }

    void read()
    {
        char buffer[readAtOnce];
        const ssize_t got = ::read(readEnd.fd(), buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (got <= 0) {
            readable.setEnabled(false);
            ended = true;
            return;
        }
        onData(QByteArrayView(buffer, got));
    }

    FileHandle readEnd;
    std::optional<FileHandle> writeEnd;
    std::function<void(QByteArrayView)> onData;
    QSocketNotifier readable;
    bool ended = false;
};

std::unique_ptr<OutputPipe> OutputPipe::open(std::function<void(QByteArrayView)> onData)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return nullptr;
    FileHandle readEnd(ends[0]);
    FileHandle writeEnd(ends[1]);
    // Our end only: the child writes as to any file, blocking when the pipe is full.
    ::fcntl(readEnd.fd(), F_SETFL, ::fcntl(readEnd.fd(), F_GETFL) | O_NONBLOCK);
    // Best effort: beyond the system's limit for users the pipe keeps its default room.
    ::fcntl(readEnd.fd(), F_SETPIPE_SZ, static_cast<int>(room));
    return std::unique_ptr<OutputPipe>(
        new OutputPipe(std::make_unique<Reader>(std::move(readEnd), std::move(writeEnd), std::move(onData))));
}

OutputPipe::OutputPipe(std::unique_ptr<Reader> reader)
    : reader(std::move(reader))
{ }

OutputPipe::~OutputPipe() = default;

std::optional<FileHandle> OutputPipe::takeWriteEnd()
{
    return std::exchange(reader->writeEnd, std::nullopt);
}

bool OutputPipe::hasEnded() const
{
    return reader->ended;
}

} // namespace platform
