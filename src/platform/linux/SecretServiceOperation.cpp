// The session's object path is only in libsecret's unstable interface; we need it to
// close the session, which libsecret itself never does.
#define SECRET_API_SUBJECT_TO_CHANGE
#include "platform/linux/SecretServiceOperation.h"

#include <chrono>
#include <utility>

namespace platform::secretservice {

namespace {

using namespace std::chrono_literals;

// A running service answers in milliseconds and one started on demand within a second;
// a service still silent after this is as good as absent.
constexpr std::chrono::milliseconds replyBound = 3s;
// A prompt nobody answers in this time is withdrawn; the user can ask again.
constexpr std::chrono::milliseconds personBound = 5min;
// kwalletd refuses about one session in a hundred, its key or the session itself
// forgotten; a fresh one is accepted.
constexpr int sessionAttempts = 3;

bool isRefusal(const GError *error)
{
    if (error == nullptr)
        return false;
    // kwalletd derives a session key of its own for a few sessions in a thousand; every
    // secret it sends over such a session fails to decrypt.
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_PROTOCOL))
        return true;
    if (g_dbus_error_is_remote_error(error))
        return true;
    // A remote error whose name GIO does not know (kwalletd's QtDBus ones), once libsecret
    // has stripped the name.
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_DBUS_ERROR))
        return true;
    if (error->domain != G_DBUS_ERROR)
        return false;
    switch (error->code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_NO_REPLY:
    case G_DBUS_ERROR_TIMEOUT:
    case G_DBUS_ERROR_TIMED_OUT:
    case G_DBUS_ERROR_DISCONNECTED:
    case G_DBUS_ERROR_NO_SERVER:
        return false;
    default:
        return true;
    }
}

} // namespace

bool triesAnotherSession(int sessionsTried, const GError *error)
{
    return sessionsTried < sessionAttempts && isRefusal(error);
}

ServiceConnection::ServiceConnection(std::function<void()> vanished)
    : vanished(std::move(vanished))
{ }

ServiceConnection::~ServiceConnection()
{
    close();
}

void ServiceConnection::adopt(ObjectPtr<SecretService> service)
{
    forget();
    opened = std::move(service);
    ownerWatch = g_bus_watch_name_on_connection(g_dbus_proxy_get_connection(G_DBUS_PROXY(opened.get())),
        g_dbus_proxy_get_name(G_DBUS_PROXY(opened.get())), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        &ServiceConnection::ownerVanished, this, nullptr);
}

void ServiceConnection::ownerVanished(GDBusConnection *, const gchar *, gpointer self)
{
    auto *connection = static_cast<ServiceConnection *>(self);
    connection->forget();
    connection->vanished();
}

void ServiceConnection::close()
{
    if (!opened)
        return;
    auto *proxy = G_DBUS_PROXY(opened.get());
    GDBusConnection *bus = g_dbus_proxy_get_connection(proxy);
    // Without a reply callback the call goes out as "no reply expected": nothing to wait for.
    if (const gchar *session = secret_service_get_session_dbus_path(opened.get()))
        g_dbus_connection_call(bus, g_dbus_proxy_get_name(proxy), session, "org.freedesktop.Secret.Session",
            "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    // Also sends what was queued just before (a prompt's withdrawal), before the process
    // may end.
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    forget();
}

void ServiceConnection::forget()
{
    if (ownerWatch != 0)
        g_bus_unwatch_name(ownerWatch);
    ownerWatch = 0;
    opened.reset();
}

struct Operation::PendingCall
{
    std::weak_ptr<Operation> operation;
    Then then;
};

Operation::Operation(ServiceConnection &connection, Done done, std::function<void()> ended)
    : connection(connection)
    , done(std::move(done))
    , ended(std::move(ended))
    , cancellable(g_cancellable_new())
{ }

Operation::~Operation()
{
    disarmBound();
    stopWaitingForPrompt(false);
}

void Operation::start()
{
    started = true;
    if (service() != nullptr)
        findDefaultCollection();
    else
        open(1);
}

void Operation::retryOrFail(const GError *error)
{
    if (!triesAnotherSession(sessionsTried, error)) {
        finish(Status::failure);
        return;
    }
    ++sessionsTried;
    connection.close();
    start();
}

void Operation::fail()
{
    const auto keep = shared_from_this();
    // A call still in flight lets go of the service at once; its late answer finds the
    // operation over. A prompt is only forgotten: its service is gone.
    g_cancellable_cancel(cancellable.get());
    finish(Status::failure);
}

void Operation::abandon()
{
    done = nullptr;
    ended = nullptr;
    g_cancellable_cancel(cancellable.get());
    stopWaitingForPrompt(true);
    finish(Status::failure);
}

void Operation::armBound(Wait wait)
{
    disarmBound();
    const std::chrono::milliseconds limit = wait == Wait::reply ? replyBound : personBound;
    bound = g_timeout_source_new(static_cast<guint>(limit.count()));
    g_source_set_callback(bound, &Operation::boundPassed, this, nullptr);
    g_source_attach(bound, g_main_context_get_thread_default());
}

void Operation::call(Wait wait, const Begin &begin, Then then)
{
    armBound(wait);
    auto pending = std::make_unique<PendingCall>(PendingCall { weak_from_this(), std::move(then) });
    begin(cancellable.get(), &Operation::completed, pending.release());
}

void Operation::completed(GObject *, GAsyncResult *result, gpointer data)
{
    const std::unique_ptr<PendingCall> pending(static_cast<PendingCall *>(data));
    const std::shared_ptr<Operation> operation = pending->operation.lock();
    // An operation that already ended (its service vanished) ignores a late answer.
    if (!operation || operation->over)
        return;
    operation->disarmBound();
    pending->then(result);
}

gboolean Operation::boundPassed(gpointer self)
{
    auto *operation = static_cast<Operation *>(self);
    const auto keep = operation->shared_from_this();
    // The source goes with this callback's return.
    g_source_unref(std::exchange(operation->bound, nullptr));
    // A pending call then completes as cancelled and fails the operation; an unanswered
    // prompt is withdrawn.
    g_cancellable_cancel(operation->cancellable.get());
    if (operation->pendingPrompt) {
        operation->stopWaitingForPrompt(true);
        operation->finish(Status::failure);
    }
    return G_SOURCE_REMOVE;
}

void Operation::disarmBound()
{
    if (bound == nullptr)
        return;
    g_source_destroy(bound);
    g_source_unref(bound);
    bound = nullptr;
}

void Operation::finish(Status status, SecretBytes bytes)
{
    if (over)
        return;
    over = true;
    disarmBound();
    stopWaitingForPrompt(false);
    if (done)
        done(status, std::move(bytes));
    if (ended)
        ended();
}

void Operation::open(int attempt)
{
    call(
        Wait::reply,
        [](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
            secret_service_open(
                SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, cancel, callback, data);
        },
        [this, attempt](GAsyncResult *result) {
            GError *failure = nullptr;
            ObjectPtr<SecretService> opened(secret_service_open_finish(result, &failure));
            const ErrorPtr error(failure);
            if (opened) {
                connection.adopt(std::move(opened));
                findDefaultCollection();
            } else if (triesAnotherSession(attempt, error.get())) {
                open(attempt + 1);
            } else {
                finish(Status::failure);
            }
        });
}

void Operation::findDefaultCollection()
{
    // Never prompts: whether it answers tells a live service from a silent one.
    call(
        Wait::reply,
        [this](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
            secret_collection_for_alias(
                service(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancel, callback, data);
        },
        [this](GAsyncResult *result) {
            GError *failure = nullptr;
            collection.reset(secret_collection_for_alias_finish(result, &failure));
            const ErrorPtr error(failure);
            // A service without aliases has answered all the same.
            if (error && !g_dbus_error_is_remote_error(error.get())) {
                finish(Status::failure);
                return;
            }
            // Unlocked first, through the service's own prompt: a search into a locked
            // store either misses its items or waits on a dialog of the service's, and
            // only the prompt tells a waiting service from a silent one.
            if (collection && secret_collection_get_locked(collection.get()))
                unlock({ collection.get() }, [this] { proceed(); });
            else
                proceed();
        });
}

void Operation::unlock(std::vector<gpointer> objects, std::function<void()> then)
{
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE("ao"));
    for (gpointer object : objects)
        g_variant_builder_add(&paths, "o", g_dbus_proxy_get_object_path(G_DBUS_PROXY(object)));
    GVariant *arguments = g_variant_new("(ao)", &paths);
    // The service may hold its answer while it shows a dialog of its own.
    call(
        Wait::person,
        [this, arguments](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
            g_dbus_proxy_call(G_DBUS_PROXY(service()), "Unlock", arguments, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                -1, cancel, callback, data);
        },
        [this, count = objects.size(), then = std::move(then)](GAsyncResult *result) mutable {
            GVariant *reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(service()), result, nullptr);
            if (reply == nullptr) {
                finish(Status::failure);
                return;
            }
            GVariant *unlocked = nullptr;
            const gchar *promptPath = nullptr;
            g_variant_get(reply, "(@ao&o)", &unlocked, &promptPath);
            const std::size_t already = g_variant_n_children(unlocked);
            g_variant_unref(unlocked);
            if (g_strcmp0(promptPath, "/") != 0)
                prompt(promptPath, [this, count, then = std::move(then)](GVariant *result) {
                    if (g_variant_is_of_type(result, G_VARIANT_TYPE("ao"))
                        && g_variant_n_children(result) == count)
                        then();
                    else
                        finish(Status::failure);
                });
            else if (already == count)
                then();
            else
                finish(Status::failure);
            g_variant_unref(reply);
        });
}

void Operation::createDefaultCollection()
{
    // Created once: a service that still has none afterwards will not make one.
    if (std::exchange(createdDefault, true)) {
        finish(Status::failure);
        return;
    }
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
        g_variant_new_string("Default keyring"));
    GVariant *arguments = g_variant_new("(a{sv}s)", &properties, SECRET_COLLECTION_DEFAULT);
    // The service may hold its answer while it shows a dialog of its own.
    call(
        Wait::person,
        [this, arguments](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
            g_dbus_proxy_call(G_DBUS_PROXY(service()), "CreateCollection", arguments,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancel, callback, data);
        },
        [this](GAsyncResult *result) {
            GVariant *reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(service()), result, nullptr);
            if (reply == nullptr) {
                finish(Status::failure);
                return;
            }
            const gchar *promptPath = nullptr;
            g_variant_get(reply, "(&o&o)", nullptr, &promptPath);
            // Found again through its alias, as if it had been there all along.
            if (g_strcmp0(promptPath, "/") != 0)
                prompt(promptPath, [this](GVariant *) { findDefaultCollection(); });
            else
                findDefaultCollection();
            g_variant_unref(reply);
        });
}

void Operation::prompt(const gchar *path, std::function<void(GVariant *result)> then)
{
    auto *proxy = G_DBUS_PROXY(service());
    gchar *owner = g_dbus_proxy_get_name_owner(proxy);
    if (owner == nullptr) {
        finish(Status::failure);
        return;
    }
    PendingPrompt &waiting = pendingPrompt.emplace();
    waiting.bus.reset(G_DBUS_CONNECTION(g_object_ref(g_dbus_proxy_get_connection(proxy))));
    waiting.owner = owner;
    waiting.path = path;
    waiting.then = std::move(then);
    g_free(owner);
    waiting.subscription = g_dbus_connection_signal_subscribe(waiting.bus.get(), waiting.owner.constData(),
        "org.freedesktop.Secret.Prompt", "Completed", waiting.path.constData(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &Operation::promptCompleted, this, nullptr);
    // Shown now; the answer comes as the signal, whenever the person gives it. The
    // service leaving the bus meanwhile ends the operation through the connection's watch.
    armBound(Wait::person);
    g_dbus_connection_call(waiting.bus.get(), waiting.owner.constData(), waiting.path.constData(),
        "org.freedesktop.Secret.Prompt", "Prompt", g_variant_new("(s)", ""), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

void Operation::promptCompleted(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
    GVariant *parameters, gpointer self)
{
    auto *operation = static_cast<Operation *>(self);
    const auto keep = operation->shared_from_this();
    if (!operation->pendingPrompt || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bv)")))
        return;
    gboolean dismissed = TRUE;
    GVariant *result = nullptr;
    g_variant_get(parameters, "(bv)", &dismissed, &result);
    std::function<void(GVariant *)> then = std::move(operation->pendingPrompt->then);
    operation->stopWaitingForPrompt(false);
    operation->disarmBound();
    if (dismissed)
        operation->finish(Status::failure);
    else
        then(result);
    g_variant_unref(result);
}

void Operation::stopWaitingForPrompt(bool withdraw)
{
    if (!pendingPrompt)
        return;
    g_dbus_connection_signal_unsubscribe(pendingPrompt->bus.get(), pendingPrompt->subscription);
    // Sent with no reply expected; the keychain flushes its connection before it goes.
    if (withdraw)
        g_dbus_connection_call(pendingPrompt->bus.get(), pendingPrompt->owner.constData(),
            pendingPrompt->path.constData(), "org.freedesktop.Secret.Prompt", "Dismiss", nullptr, nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    pendingPrompt.reset();
}

const SecretSchema *genericPassword()
{
    // Matches on the two attributes alone, so an item that another tool created under a
    // schema name of its own (or none) is the same item to us.
    static const SecretSchema schema = [] {
        SecretSchema s {};
        s.name = "com.tovrex.orlinde.GenericPassword";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        return s;
    }();
    return &schema;
}

HashTablePtr attributesFor(const QString &serviceName, const QString &accountName)
{
    return HashTablePtr(secret_attributes_build(genericPassword(), "service",
        serviceName.toUtf8().constData(), "account", accountName.toUtf8().constData(), nullptr));
}

} // namespace platform::secretservice
