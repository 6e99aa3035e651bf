#pragma once

// GLib names a structure member "signals", which Qt defines as a keyword macro.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <memory>
#include <vector>

namespace platform::secretservice {

struct ObjectRelease
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using ObjectPtr = std::unique_ptr<T, ObjectRelease>;

struct ErrorRelease
{
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorRelease>;

struct ValueRelease
{
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueRelease>;

struct HashTableRelease
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableRelease>;

// Takes over a GList of objects, the list and each element's reference.
template <typename T> std::vector<ObjectPtr<T>> takeObjects(GList *list)
{
    std::vector<ObjectPtr<T>> objects;
    for (GList *link = list; link != nullptr; link = link->next)
        objects.emplace_back(static_cast<T *>(link->data));
    g_list_free(list);
    return objects;
}

} // namespace platform::secretservice
