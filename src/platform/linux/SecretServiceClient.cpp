// The session's object path is only in libsecret's unstable interface; we need it to
// close the session, which libsecret itself never does.
#define SECRET_API_SUBJECT_TO_CHANGE
#include "platform/linux/SecretServiceClient.h"

namespace platform::secretservice {

namespace {

// A running service answers in milliseconds and one started on demand within a second;
// a service still silent after this is as good as absent.
constexpr std::chrono::milliseconds roundTripBound { 3000 };

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

ValuePtr valueOf(const QByteArray &bytes)
{
    return ValuePtr(secret_value_new(bytes.constData(), bytes.size(), "application/octet-stream"));
}

} // namespace

Client::Client()
{
    const auto result = loop.run(
        [](GCancellable *cancellable, GAsyncReadyCallback done, gpointer slot) {
            secret_service_open(
                SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable, done, slot);
        },
        roundTripBound);
    service.reset(secret_service_open_finish(result.get(), nullptr));
}

Client::~Client()
{
    if (!service)
        return;
    auto *proxy = G_DBUS_PROXY(service.get());
    // Without a reply callback the call goes out as "no reply expected": nothing to wait for.
    if (const gchar *session = secret_service_get_session_dbus_path(service.get()))
        g_dbus_connection_call(g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy), session,
            "org.freedesktop.Secret.Session", "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
            nullptr, nullptr);
}

std::optional<std::vector<Item>> Client::search(const QString &serviceName, const QString &accountName)
{
    const HashTablePtr attributes = attributesFor(serviceName, accountName);
    const auto result = loop.run(
        [&](GCancellable *cancellable, GAsyncReadyCallback done, gpointer slot) {
            secret_service_search(service.get(), genericPassword(), attributes.get(), SECRET_SEARCH_ALL,
                cancellable, done, slot);
        },
        roundTripBound);
    // An empty list and a failure both come back as no list; only the error tells them apart.
    GError *failure = nullptr;
    GList *found = secret_service_search_finish(service.get(), result.get(), &failure);
    if (const ErrorPtr error { failure }) {
        g_list_free_full(found, g_object_unref);
        return std::nullopt;
    }
    return takeObjects<SecretItem>(found);
}

bool Client::unlock(const std::vector<SecretItem *> &items)
{
    return unlockObjects(std::vector<gpointer>(items.begin(), items.end()));
}

bool Client::unlockObjects(const std::vector<gpointer> &objects)
{
    GList *list = nullptr;
    for (gpointer object : objects)
        list = g_list_prepend(list, object);
    // Unbounded on purpose: the service may be showing the user a password prompt.
    const auto result = loop.run(
        [&](GCancellable *cancellable, GAsyncReadyCallback done, gpointer slot) {
            secret_service_unlock(service.get(), list, cancellable, done, slot);
        },
        std::nullopt);
    g_list_free(list);
    const gint unlocked = secret_service_unlock_finish(service.get(), result.get(), nullptr, nullptr);
    return unlocked >= 0 && static_cast<std::size_t>(unlocked) == objects.size();
}

bool Client::setSecret(SecretItem *item, const QByteArray &bytes)
{
    const ValuePtr value = valueOf(bytes);
    const auto result
        = loop.run([&](GCancellable *cancellable, GAsyncReadyCallback done,
                       gpointer slot) { secret_item_set_secret(item, value.get(), cancellable, done, slot); },
            roundTripBound);
    return secret_item_set_secret_finish(item, result.get(), nullptr);
}

std::optional<QByteArray> Client::secretOf(SecretItem *item)
{
    const auto result
        = loop.run([&](GCancellable *cancellable, GAsyncReadyCallback done,
                       gpointer slot) { secret_item_load_secret(item, cancellable, done, slot); },
            roundTripBound);
    if (!secret_item_load_secret_finish(item, result.get(), nullptr))
        return std::nullopt;
    const ValuePtr value(secret_item_get_secret(item));
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar *bytes = secret_value_get(value.get(), &length);
    return QByteArray(bytes, static_cast<qsizetype>(length));
}

bool Client::createInDefaultCollection(
    const QString &serviceName, const QString &accountName, const QByteArray &bytes)
{
    auto result = loop.run(
        [&](GCancellable *cancellable, GAsyncReadyCallback done, gpointer slot) {
            secret_collection_for_alias(
                service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, done, slot);
        },
        roundTripBound);
    const ObjectPtr<SecretCollection> collection(secret_collection_for_alias_finish(result.get(), nullptr));
    if (!collection)
        return false;
    // The service refuses to create an item in a locked collection rather than prompting.
    if (secret_collection_get_locked(collection.get()) && !unlockObjects({ collection.get() }))
        return false;

    const HashTablePtr attributes = attributesFor(serviceName, accountName);
    const ValuePtr value = valueOf(bytes);
    // The label is what keyring managers list the item under; it carries the service
    // name, as other keychains show an item without a label of its own.
    const QByteArray label = serviceName.toUtf8();
    result = loop.run(
        [&](GCancellable *cancellable, GAsyncReadyCallback done, gpointer slot) {
            // No schema: the item carries the two attributes and nothing else.
            secret_item_create(collection.get(), nullptr, attributes.get(), label.constData(), value.get(),
                SECRET_ITEM_CREATE_NONE, cancellable, done, slot);
        },
        roundTripBound);
    const Item created(secret_item_create_finish(result.get(), nullptr));
    return created != nullptr;
}

} // namespace platform::secretservice
