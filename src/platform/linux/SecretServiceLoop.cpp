#include "platform/linux/SecretServiceLoop.h"

namespace platform::secretservice {

namespace {

void keepResult(GObject *, GAsyncResult *result, gpointer slot)
{
    *static_cast<GAsyncResult **>(slot) = G_ASYNC_RESULT(g_object_ref(result));
}

gboolean cancel(gpointer cancellable)
{
    g_cancellable_cancel(static_cast<GCancellable *>(cancellable));
    return G_SOURCE_REMOVE;
}

struct SourceRelease
{
    void operator()(GSource *source) const
    {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

} // namespace

CallLoop::CallLoop()
    : context(g_main_context_new())
{
    g_main_context_push_thread_default(context);
}

CallLoop::~CallLoop()
{
    // Dropped proxies free their signal subscriptions through idle callbacks on this
    // context; run those before it goes, or their data is lost.
    while (g_main_context_iteration(context, FALSE)) { }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

ObjectPtr<GAsyncResult> CallLoop::run(const Start &start, std::optional<std::chrono::milliseconds> bound)
{
    const ObjectPtr<GCancellable> cancellable(g_cancellable_new());
    std::unique_ptr<GSource, SourceRelease> deadline;
    if (bound) {
        deadline.reset(g_timeout_source_new(static_cast<guint>(bound->count())));
        g_source_set_callback(deadline.get(), cancel, cancellable.get(), nullptr);
        g_source_attach(deadline.get(), context);
    }
    GAsyncResult *result = nullptr;
    start(cancellable.get(), keepResult, &result);
    // A cancelled call still completes through its callback, so waiting for the result
    // also waits out the cancellation and nothing is left pointing at `result`.
    while (result == nullptr)
        g_main_context_iteration(context, TRUE);
    return ObjectPtr<GAsyncResult>(result);
}

} // namespace platform::secretservice
