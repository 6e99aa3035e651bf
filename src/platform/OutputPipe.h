#pragma once

#include "platform/FileHandle.h"

#include <QByteArrayView>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// A pipe for a child's output stream: the child writes into the write end, and what it
// writes reaches `onData` on the main thread as it arrives, until every writer has closed
// the pipe. Reading never blocks this process, and the child is held up only once it has
// written `room` bytes that this process has not read yet (while it is stopped, say).
class OutputPipe
{
public:
    static constexpr qsizetype room = 1 << 20;

    // Nothing when the system has no pipe to give.
    static std::unique_ptr<OutputPipe> open(std::function<void(QByteArrayView)> onData);
    ~OutputPipe();
    OutputPipe(const OutputPipe &) = delete;
    OutputPipe &operator=(const OutputPipe &) = delete;

    // The end to hand to the child, once.
    std::optional<FileHandle> takeWriteEnd();
    // Whether every writer has closed the pipe and all it held has been passed on.
    bool hasEnded() const;

    class Reader; // the platform's side, defined in its own files

private:
    explicit OutputPipe(std::unique_ptr<Reader> reader);

    std::unique_ptr<Reader> reader;
};

} // namespace platform
