#pragma once

#include "platform/Keychain.h"
#include "platform/linux/SecretServiceHandles.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform::secretservice {

using Status = Keychain::Status;

// The keychain's one connection to the Secret Service: opened by the first operation
// that needs it, kept while the service's owner stays on the bus.
class ServiceConnection
{
public:
    explicit ServiceConnection(std::function<void()> vanished);
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection &) = delete;
    ServiceConnection &operator=(const ServiceConnection &) = delete;

    SecretService *service() const { return opened.get(); }
    // Keeps `service` and watches its owner; when that leaves the bus (the provider quit
    // or crashed, perhaps with its prompt up) the connection is forgotten and `vanished`
    // runs, since libsecret itself would wait forever for the prompt's answer.
    void adopt(ObjectPtr<SecretService> service);
    // Closes the transfer session, which libsecret never does itself, and forgets the
    // service: the next operation opens a new connection.
    void close();

private:
    static void ownerVanished(GDBusConnection *, const gchar *, gpointer self);
    void forget();

    std::function<void()> vanished;
    ObjectPtr<SecretService> opened;
    guint ownerWatch = 0;
};

// A prompt an operation waits for. Run by us, not by libsecret, whose own prompt
// handling never completes when the service leaves meanwhile and keeps the stale
// service alive to crash later.
struct PendingPrompt
{
    ObjectPtr<GDBusConnection> bus;
    QByteArray owner;
    QByteArray path;
    guint subscription = 0;
    // Gets the prompt's result, unless the person dismissed it.
    std::function<void(GVariant *result)> then;
};

// One keychain operation: a chain of asynchronous libsecret calls on the thread's
// default main context (the application's event loop), each bounded by how long its
// answer may legitimately take. Every operation first learns whether the service
// answers at all, from calls that never prompt; once it has, calls that may wait for
// a person (an unlock, an access request) wait as long as a person would.
class Operation : public std::enable_shared_from_this<Operation>
{
public:
    using Done = std::function<void(Status, SecretBytes)>;

    Operation(ServiceConnection &connection, Done done, std::function<void()> ended);
    virtual ~Operation();
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    void start();
    bool hasStarted() const { return started; }
    // Ends at once as a failure: the service left the bus.
    void fail();
    // Ends at once without reporting, withdrawing a prompt it showed: nobody is left to tell.
    void abandon();

protected:
    enum class Wait { reply, person };
    using Begin = std::function<void(GCancellable *, GAsyncReadyCallback, gpointer)>;
    using Then = std::function<void(GAsyncResult *)>;

    // After the service answered and its default collection, when locked, was unlocked.
    virtual void proceed() = 0;

    void call(Wait wait, const Begin &begin, Then then);
    // After a call that moves a secret failed with `error`: a refusal from the service
    // (kwalletd now and then forgets a transfer session it has just opened) starts the
    // operation once more on a new connection; anything else, or a second refusal, fails.
    void retryOrFail(const GError *error);
    // Unlocks the objects (collections or items), through the service's prompt when it
    // shows one; `then` runs when every one of them is unlocked, else the operation fails.
    void unlock(std::vector<gpointer> objects, std::function<void()> then);
    // Where the service has no default collection (no login keyring, as after an
    // autologin), creates one through the service's own prompt, which asks the person
    // for its password, as libsecret would; then proceeds as after it was found.
    void createDefaultCollection();
    void finish(Status status, SecretBytes bytes = {});

    SecretService *service() const { return connection.service(); }
    // The collection behind the alias "default", or none when the service has none.
    SecretCollection *defaultCollection() const { return collection.get(); }

private:
    struct PendingCall;
    static void completed(GObject *, GAsyncResult *result, gpointer pending);
    static gboolean boundPassed(gpointer self);
    static void promptCompleted(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
        GVariant *parameters, gpointer self);

    void armBound(Wait wait);
    void open(int attempt);
    void findDefaultCollection();
    void disarmBound();
    void prompt(const gchar *path, std::function<void(GVariant *result)> then);
    void stopWaitingForPrompt(bool withdraw);

    ServiceConnection &connection;
    Done done;
    std::function<void()> ended;
    ObjectPtr<GCancellable> cancellable;
    ObjectPtr<SecretCollection> collection;
    GSource *bound = nullptr;
    std::optional<PendingPrompt> pendingPrompt;
    bool started = false;
    int sessionsTried = 1;
    bool createdDefault = false;
    bool over = false;
};

// Whether a call that failed after `sessionsTried` sessions goes on over a new one: only a
// refusal from a service that is there, which a new session may get past. Not our
// cancellation or bound, and not the bus telling that nobody owns the name or that the
// owner went away. libsecret strips the name of errors it knows, so they arrive as plain
// D-Bus errors. A secret our session key cannot decrypt counts too: a new session has a
// new key.
bool triesAnotherSession(int sessionsTried, const GError *error);

// The two attributes that name an item, under a schema that matches on them alone.
const SecretSchema *genericPassword();
HashTablePtr attributesFor(const QString &serviceName, const QString &accountName);

} // namespace platform::secretservice
