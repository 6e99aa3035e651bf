#pragma once

#include "platform/linux/SecretServiceHandles.h"

#include <chrono>
#include <functional>
#include <optional>

namespace platform::secretservice {

// Runs asynchronous GLib calls to completion on a main context of our own, the thread's
// default while this object lives. It needs no running event loop (the one-shot
// command-line mode has none) and leaves the application's loop untouched inside the
// agent, so a call is synchronous for its caller.
class CallLoop
{
public:
    CallLoop();
    ~CallLoop();
    CallLoop(const CallLoop &) = delete;
    CallLoop &operator=(const CallLoop &) = delete;

    using Start = std::function<void(GCancellable *, GAsyncReadyCallback, gpointer)>;

    // Starts a call and returns its result once it completes. With a bound, the call is
    // cancelled when the bound passes and its result then carries the cancellation.
    ObjectPtr<GAsyncResult> run(const Start &start, std::optional<std::chrono::milliseconds> bound);

private:
    GMainContext *context;
};

} // namespace platform::secretservice
