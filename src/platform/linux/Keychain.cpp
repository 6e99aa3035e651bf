#include "platform/Keychain.h"

#include "platform/linux/SecretServiceOperation.h"

#include <algorithm>
#include <deque>

namespace platform {

using namespace secretservice;

namespace {

ValuePtr valueOf(QByteArrayView bytes)
{
    // libsecret copies the bytes into memory of its own that it wipes when done.
    return ValuePtr(
        secret_value_new(bytes.isEmpty() ? "" : bytes.data(), bytes.size(), "application/octet-stream"));
}

// Every item carrying the two attribute values, locked or not (a search that does not
// unlock is what tells a locked item from an absent one).
class Search
{
public:
    static void begin(SecretService *service, GHashTable *attributes, GCancellable *cancel,
        GAsyncReadyCallback callback, gpointer data)
    {
        secret_service_search(
            service, genericPassword(), attributes, SECRET_SEARCH_ALL, cancel, callback, data);
    }
    // Nothing on failure: an empty list and a failure both come back as no list.
    static std::optional<std::vector<ObjectPtr<SecretItem>>> finish(
        SecretService *service, GAsyncResult *result)
    {
        GError *failure = nullptr;
        GList *found = secret_service_search_finish(service, result, &failure);
        if (const ErrorPtr error { failure }) {
            g_list_free_full(found, g_object_unref);
            return std::nullopt;
        }
        return takeObjects<SecretItem>(found);
    }
};

using Items = std::vector<ObjectPtr<SecretItem>>;

// The operations below search only once the default collection is unlocked, so a
// search misses no item that a locked store hides.
class SearchingOperation : public Operation
{
public:
    SearchingOperation(ServiceConnection &connection, const QString &service, const QString &account,
        Done done, std::function<void()> ended)
        : Operation(connection, std::move(done), std::move(ended))
        , attributes(attributesFor(service, account))
    { }

protected:
    void search(std::function<void(Items)> then)
    {
        // Waits as for a person: a service may show a dialog of its own before answering.
        call(
            Wait::person,
            [this](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
                Search::begin(service(), attributes.get(), cancel, callback, data);
            },
            [this, then = std::move(then)](GAsyncResult *result) {
                std::optional<Items> items = Search::finish(service(), result);
                if (!items)
                    finish(Status::failure);
                else if (items->empty())
                    finish(Status::itemNotFound);
                else
                    then(std::move(*items));
            });
    }

    HashTablePtr attributes;
};

class CopyOperation final : public SearchingOperation
{
public:
    using SearchingOperation::SearchingOperation;

private:
    void proceed() override
    {
        search([this](Items found) {
            // One item is asked for; an unlocked one is read without bothering the user.
            const auto unlocked = std::find_if(found.begin(), found.end(),
                [](const auto &item) { return !secret_item_get_locked(item.get()); });
            item = std::move(unlocked != found.end() ? *unlocked : found.front());
            // KeePassXC keeps an item locked to each client until the user allows access.
            if (secret_item_get_locked(item.get()))
                unlock({ item.get() }, [this] { load(); });
            else
                load();
        });
    }

    void load()
    {
        call(
            Wait::person,
            [this](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
                secret_item_load_secret(item.get(), cancel, callback, data);
            },
            [this](GAsyncResult *result) {
                GError *failure = nullptr;
                const bool loaded = secret_item_load_secret_finish(item.get(), result, &failure);
                if (const ErrorPtr error { failure }; !loaded) {
                    retryOrFail(error.get());
                    return;
                }
                const ValuePtr value(secret_item_get_secret(item.get()));
                if (!value) {
                    finish(Status::failure);
                    return;
                }
                gsize length = 0;
                const gchar *bytes = secret_value_get(value.get(), &length);
                finish(
                    Status::success, SecretBytes { QByteArrayView(bytes, static_cast<qsizetype>(length)) });
            });
    }

    ObjectPtr<SecretItem> item;
};

class UpdateOperation final : public SearchingOperation
{
public:
    UpdateOperation(ServiceConnection &connection, const QString &service, const QString &account,
        QByteArrayView data, Done done, std::function<void()> ended)
        : SearchingOperation(connection, service, account, std::move(done), std::move(ended))
        , value(valueOf(data))
    { }

private:
    void proceed() override
    {
        search([this](Items found) {
            items = std::move(found);
            std::vector<gpointer> locked;
            for (const auto &item : items) {
                if (secret_item_get_locked(item.get()))
                    locked.push_back(item.get());
            }
            // A locked item is still the item: unlocking it (the user may be asked) beats
            // adding a second one beside it.
            if (locked.empty())
                setFrom(0);
            else
                unlock(std::move(locked), [this] { setFrom(0); });
        });
    }

    // Every matching item gets the new bytes, so a duplicate left by an earlier tool
    // cannot hand out the old key.
    void setFrom(std::size_t index)
    {
        if (index == items.size()) {
            finish(Status::success);
            return;
        }
        SecretItem *item = items[index].get();
        call(
            Wait::person,
            [this, item](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
                secret_item_set_secret(item, value.get(), cancel, callback, data);
            },
            [this, item, index](GAsyncResult *result) {
                GError *failure = nullptr;
                const bool set = secret_item_set_secret_finish(item, result, &failure);
                if (const ErrorPtr error { failure }; !set)
                    retryOrFail(error.get());
                else
                    setFrom(index + 1);
            });
    }

    ValuePtr value;
    Items items;
};

class AddOperation final : public Operation
{
public:
    AddOperation(ServiceConnection &connection, const QString &service, const QString &account,
        QByteArrayView data, Done done, std::function<void()> ended)
        : Operation(connection, std::move(done), std::move(ended))
        , attributes(attributesFor(service, account))
        , value(valueOf(data))
        // The label is what keyring managers list the item under; it carries the service
        // name, as other keychains show an item without a label of its own.
        , label(service.toUtf8())
    { }

private:
    void proceed() override
    {
        // "Accessible when unlocked, this device only" is the default collection (the
        // login keyring): it is locked whenever the session is, and the Secret Service
        // never synchronises it to another machine.
        if (defaultCollection() == nullptr) {
            createDefaultCollection();
            return;
        }
        call(
            Wait::person,
            [this](GCancellable *cancel, GAsyncReadyCallback callback, gpointer data) {
                // No schema: the item carries the two attributes and nothing else. Replacing
                // keeps a single item even if one appeared since the search.
                secret_item_create(defaultCollection(), nullptr, attributes.get(), label.constData(),
                    value.get(), SECRET_ITEM_CREATE_REPLACE, cancel, callback, data);
            },
            [this](GAsyncResult *result) {
                GError *failure = nullptr;
                const ObjectPtr<SecretItem> created(secret_item_create_finish(result, &failure));
                if (const ErrorPtr error { failure }; !created)
                    retryOrFail(error.get());
                else
                    finish(Status::success);
            });
    }

    HashTablePtr attributes;
    ValuePtr value;
    QByteArray label;
};

} // namespace

struct Keychain::Connection
{
    Connection()
        : service([this] { serviceVanished(); })
    { }

    ~Connection()
    {
        // Moved out first: abandoning one must not start the next.
        const std::deque<std::shared_ptr<Operation>> pending = std::exchange(queue, {});
        for (const auto &operation : pending)
            operation->abandon();
    }

    template <typename Kind, typename... Arguments> void enqueue(Arguments &&...arguments)
    {
        queue.push_back(std::make_shared<Kind>(
            service, std::forward<Arguments>(arguments)..., [this] { operationEnded(); }));
        if (queue.size() == 1)
            queue.front()->start();
    }

    void operationEnded()
    {
        queue.pop_front();
        if (!queue.empty())
            queue.front()->start();
    }

    // The service left the bus: what waits on it now would wait forever.
    void serviceVanished()
    {
        if (!queue.empty() && queue.front()->hasStarted())
            queue.front()->fail();
    }

    ServiceConnection service;
    std::deque<std::shared_ptr<Operation>> queue;
};

Keychain::Keychain()
    : connection(std::make_unique<Connection>())
{ }

Keychain::~Keychain() = default;

void Keychain::update(const QString &service, const QString &account, QByteArrayView data, Completion done)
{
    connection->enqueue<UpdateOperation>(
        service, account, data, [done = std::move(done)](Status status, SecretBytes) { done(status); });
}

void Keychain::add(const QString &service, const QString &account, QByteArrayView data, Completion done)
{
    connection->enqueue<AddOperation>(
        service, account, data, [done = std::move(done)](Status status, SecretBytes) { done(status); });
}

void Keychain::copyMatching(const QString &service, const QString &account, CopyCompletion done)
{
    connection->enqueue<CopyOperation>(service, account, std::move(done));
}

} // namespace platform
