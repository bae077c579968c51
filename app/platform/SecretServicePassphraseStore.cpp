// SecretServicePassphraseStore: libsecret's synchronous calls, each bounded by a watchdog that cancels it.
#include "platform/SecretServicePassphraseStore.h"

#include <atomic>
#include <condition_variable>
#include <libsecret/secret.h>
#include <mutex>
#include <stop_token>
#include <thread>

#include "Vantorelle.h"
#include "i18n/L.h"
#include "platform/Log.h"

namespace vantorelle {
namespace {

constexpr std::string_view kCategory = "keychain";

struct GObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct ErrorFree
{
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct HashTableUnref
{
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

struct ItemListFree
{
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

// Cancels its GCancellable when `limit` passes before it goes away. A libsecret call given that
// cancellable then returns G_IO_ERROR_CANCELLED at once, whatever the service is doing (a prompt
// nobody answers, a daemon that is stopped).
class Watchdog
{
public:
    explicit Watchdog(std::chrono::milliseconds limit)
        : m_cancellable(g_cancellable_new())
        , m_thread([this, limit](std::stop_token stop) {
            std::mutex mutex;
            std::unique_lock lock(mutex);
            std::condition_variable_any wake;
            wake.wait_for(lock, stop, limit, [] { return false; });
            if (!stop.stop_requested()) {
                m_fired = true;
                g_cancellable_cancel(m_cancellable.get());
            }
        })
    {
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    GCancellable* cancellable() const { return m_cancellable.get(); }
    bool fired() const { return m_fired; }

private:
    GPtr<GCancellable> m_cancellable;
    std::atomic<bool> m_fired = false;
    std::jthread m_thread; // last: stopped and joined before the cancellable goes
};

const SecretSchema* schema()
{
    static const SecretSchema* const shared
        = secret_schema_new(SecretServicePassphraseStore::schemaName, SECRET_SCHEMA_NONE, "service",
                            SECRET_SCHEMA_ATTRIBUTE_STRING, "account", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
    return shared;
}

std::unique_ptr<GHashTable, HashTableUnref> attributesFor(const std::string& keyPath)
{
    const std::string service = SecretServicePassphraseStore::serviceAttribute();
    return std::unique_ptr<GHashTable, HashTableUnref>(
        secret_attributes_build(schema(), "service", service.c_str(), "account", keyPath.c_str(), nullptr));
}

// What a failed call means for the caller: a deadline or a refusal to unlock is `cancelled`,
// everything else is the store's own failure.
PassphraseStoreError failure(GError* error, const Watchdog& watchdog)
{
    if (watchdog.fired()) {
        return {PassphraseStoreError::Kind::cancelled, "no answer from the Secret Service in time"};
    }
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return {PassphraseStoreError::Kind::cancelled, "cancelled"};
    }
    if (char* remote = g_dbus_error_get_remote_error(error)) {
        const bool locked = std::string_view(remote) == "org.freedesktop.Secret.Error.IsLocked";
        g_free(remote);
        if (locked) {
            return {PassphraseStoreError::Kind::cancelled, "locked"};
        }
    }
    return {PassphraseStoreError::Kind::other, error ? error->message : "unknown failure"};
}

std::expected<GPtr<SecretService>, PassphraseStoreError> openService(SecretServiceFlags flags,
                                                                     std::chrono::milliseconds limit)
{
    Watchdog watchdog(limit);
    GError* raw = nullptr;
    // A service object of our own rather than libsecret's shared one: nothing outlives the call,
    // so a restarted daemon or a closed session never leaves stale state behind.
    SecretService* service
        = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, flags, watchdog.cancellable(), &raw);
    ErrorPtr error(raw);
    if (!service) {
        return std::unexpected(failure(error.get(), watchdog));
    }
    return GPtr<SecretService>(service);
}

// Every item matching `attributes` (of `schema`, or of any schema), in any collection, locked or
// not; nothing is unlocked.
std::expected<ItemList, PassphraseStoreError> search(SecretService* service, const SecretSchema* schema,
                                                     GHashTable* attributes, std::chrono::milliseconds limit)
{
    Watchdog watchdog(limit);
    GError* raw = nullptr;
    GList* items
        = secret_service_search_sync(service, schema, attributes, SECRET_SEARCH_ALL, watchdog.cancellable(), &raw);
    ErrorPtr error(raw);
    if (error) {
        g_list_free_full(items, g_object_unref);
        return std::unexpected(failure(error.get(), watchdog));
    }
    return ItemList(items);
}

// Every item stored for the path, in any collection, locked or not; nothing is unlocked.
std::expected<ItemList, PassphraseStoreError> findItems(SecretService* service, const std::string& keyPath,
                                                        std::chrono::milliseconds limit)
{
    return search(service, schema(), attributesFor(keyPath).get(), limit);
}

// Every item carrying these attributes, whatever its schema.
std::expected<ItemList, PassphraseStoreError> findForeign(SecretService* service,
                                                          const SecretServicePassphraseStore::Attributes& wanted,
                                                          std::chrono::milliseconds limit)
{
    // The table borrows the map's strings, which outlive the call.
    std::unique_ptr<GHashTable, HashTableUnref> attributes(g_hash_table_new(g_str_hash, g_str_equal));
    for (const auto& [name, value] : wanted) {
        g_hash_table_insert(attributes.get(), const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
    }
    return search(service, nullptr, attributes.get(), limit);
}

// True when the service reports the objects unlocked; false when the user dismissed the prompt.
std::expected<bool, PassphraseStoreError> unlock(SecretService* service, GList* objects,
                                                 std::chrono::milliseconds limit)
{
    Watchdog watchdog(limit);
    GError* raw = nullptr;
    GList* unlocked = nullptr;
    const gint count = secret_service_unlock_sync(service, objects, watchdog.cancellable(), &unlocked, &raw);
    ErrorPtr error(raw);
    g_list_free_full(unlocked, g_object_unref);
    if (error) {
        return std::unexpected(failure(error.get(), watchdog));
    }
    return count == static_cast<gint>(g_list_length(objects));
}

std::expected<SecretString, PassphraseStoreError> loadSecret(SecretItem* item, std::chrono::milliseconds limit)
{
    Watchdog watchdog(limit);
    GError* raw = nullptr;
    const bool loaded = secret_item_load_secret_sync(item, watchdog.cancellable(), &raw);
    ErrorPtr error(raw);
    if (!loaded) {
        return std::unexpected(failure(error.get(), watchdog));
    }
    SecretValue* value = secret_item_get_secret(item);
    if (!value) {
        return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::other, "the item holds no secret"});
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::expected<SecretString, PassphraseStoreError> result
        = g_utf8_validate(bytes, static_cast<gssize>(length), nullptr)
        ? std::expected<SecretString, PassphraseStoreError>(SecretString(std::string_view(bytes, length)))
        : std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::other, "the secret is not UTF-8 text"});
    // libsecret keeps the bytes in its own non-pageable memory and wipes them when the value goes.
    secret_value_unref(value);
    return result;
}

void refuse(std::string_view reason)
{
    applog::notice(kCategory, "read refused: " + std::string(reason));
}

} // namespace

SecretServicePassphraseStore::SecretServicePassphraseStore()
    : SecretServicePassphraseStore(Timeouts{})
{
}

SecretServicePassphraseStore::SecretServicePassphraseStore(Timeouts timeouts)
    : m_timeouts(timeouts)
{
}

std::string SecretServicePassphraseStore::serviceAttribute()
{
    return std::string(Vantorelle::bundleID) + ".passphrase";
}

std::expected<void, PassphraseStoreError> SecretServicePassphraseStore::save(const SecretString& passphrase,
                                                                             const SSHKey& key)
{
    const std::string path = key.path.string();
    auto fail = [](const PassphraseStoreError& error) {
        applog::error(kCategory, "save failed: " + error.detail);
        return std::unexpected(error);
    };
    // One item per key, even when an earlier one sits in another collection than the default.
    if (auto removed = remove(key); !removed) {
        return std::unexpected(removed.error());
    }
    auto service = openService(SECRET_SERVICE_OPEN_SESSION, m_timeouts.call);
    if (!service) {
        return fail(service.error());
    }
    auto attributes = attributesFor(path);
    const std::string label = L("keychain.item.label", {path});
    SecretValue* value = secret_value_new(passphrase.data(), static_cast<gssize>(passphrase.size()), "text/plain");
    // A locked default collection makes the service prompt: the longer deadline.
    Watchdog watchdog(m_timeouts.prompt);
    GError* raw = nullptr;
    const bool stored = secret_service_store_sync(service->get(), schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                                  label.c_str(), value, watchdog.cancellable(), &raw);
    ErrorPtr error(raw);
    secret_value_unref(value);
    if (!stored) {
        return fail(failure(error.get(), watchdog));
    }
    return {};
}

std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
SecretServicePassphraseStore::passphrases(const std::vector<SSHKey>& keys,
                                          std::shared_ptr<AuthenticationContext> context)
{
    std::map<std::string, SecretString> found;
    if (keys.empty()) {
        return found;
    }
    auto refused = [](const PassphraseStoreError& error) {
        refuse(error.detail);
        return std::unexpected(error);
    };
    auto service = openService(SECRET_SERVICE_OPEN_SESSION, m_timeouts.call);
    if (!service) {
        return refused(service.error());
    }
    bool missing = false;
    bool unlockAsked = false;
    for (const SSHKey& key : keys) {
        const std::string path = key.path.string();
        auto items = findItems(service->get(), path, m_timeouts.call);
        if (!items) {
            return refused(items.error());
        }
        if (!*items) {
            refuse("not found");
            missing = true;
            continue;
        }
        // An unlocked copy, when there is one, needs no unlock at all.
        GList* chosen = items->get();
        for (GList* node = chosen; node; node = node->next) {
            if (!secret_item_get_locked(SECRET_ITEM(node->data))) {
                chosen = node;
                break;
            }
        }
        auto* item = SECRET_ITEM(chosen->data);
        if (secret_item_get_locked(item)) {
            if (!context || unlockAsked) {
                return refused({PassphraseStoreError::Kind::cancelled, "locked"});
            }
            unlockAsked = true;
            GList only = {item, nullptr, nullptr};
            auto unlocked = unlock(service->get(), &only, m_timeouts.prompt);
            if (!unlocked) {
                return refused(unlocked.error());
            }
            if (!*unlocked) {
                return refused({PassphraseStoreError::Kind::cancelled, "unlock dismissed"});
            }
        }
        auto secret = loadSecret(item, m_timeouts.call);
        if (!secret) {
            return refused(secret.error());
        }
        found.insert_or_assign(path, std::move(*secret));
    }
    if (found.empty() && missing) {
        return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}});
    }
    return found;
}

std::expected<void, PassphraseStoreError> SecretServicePassphraseStore::remove(const SSHKey& key)
{
    auto fail = [](const PassphraseStoreError& error) {
        applog::error(kCategory, "delete failed: " + error.detail);
        return std::unexpected(error);
    };
    auto service = openService(SECRET_SERVICE_NONE, m_timeouts.call);
    if (!service) {
        return fail(service.error());
    }
    auto items = findItems(service->get(), key.path.string(), m_timeouts.call);
    if (!items) {
        return fail(items.error());
    }
    GList* locked = nullptr;
    for (GList* node = items->get(); node; node = node->next) {
        if (secret_item_get_locked(SECRET_ITEM(node->data))) {
            locked = g_list_prepend(locked, node->data);
        }
    }
    if (locked) {
        // The service refuses to delete a locked item; removing is the user's own act in the settings.
        auto unlocked = unlock(service->get(), locked, m_timeouts.prompt);
        g_list_free(locked);
        if (!unlocked || !*unlocked) {
            return fail(unlocked ? PassphraseStoreError{PassphraseStoreError::Kind::cancelled, "locked"}
                                 : unlocked.error());
        }
    }
    for (GList* node = items->get(); node; node = node->next) {
        Watchdog watchdog(m_timeouts.call);
        GError* raw = nullptr;
        const bool deleted = secret_item_delete_sync(SECRET_ITEM(node->data), watchdog.cancellable(), &raw);
        ErrorPtr error(raw);
        if (!deleted) {
            return fail(failure(error.get(), watchdog));
        }
    }
    return {};
}

bool SecretServicePassphraseStore::hasPassphrase(const std::string& keyPath)
{
    auto service = openService(SECRET_SERVICE_NONE, m_timeouts.call);
    if (!service) {
        return false;
    }
    auto items = findItems(service->get(), keyPath, m_timeouts.call);
    return items && *items;
}

bool SecretServicePassphraseStore::hasItems(const Attributes& attributes)
{
    auto service = openService(SECRET_SERVICE_NONE, m_timeouts.call);
    if (!service) {
        return false;
    }
    auto items = findForeign(service->get(), attributes, m_timeouts.call);
    return items && *items;
}

SecretServicePassphraseStore::DeleteOne SecretServicePassphraseStore::deleteOneItem(const Attributes& attributes)
{
    auto service = openService(SECRET_SERVICE_NONE, m_timeouts.call);
    if (!service) {
        return DeleteOne::failed;
    }
    auto items = findForeign(service->get(), attributes, m_timeouts.call);
    if (!items) {
        return DeleteOne::failed;
    }
    if (!*items) {
        return DeleteOne::notFound;
    }
    auto* item = SECRET_ITEM(items->get()->data);
    if (secret_item_get_locked(item)) {
        GList only = {item, nullptr, nullptr};
        auto unlocked = unlock(service->get(), &only, m_timeouts.prompt);
        if (!unlocked || !*unlocked) {
            applog::error(kCategory, "delete failed: locked");
            return DeleteOne::failed;
        }
    }
    Watchdog watchdog(m_timeouts.call);
    GError* raw = nullptr;
    const bool deleted = secret_item_delete_sync(item, watchdog.cancellable(), &raw);
    ErrorPtr error(raw);
    if (!deleted) {
        applog::error(kCategory, "delete failed: " + failure(error.get(), watchdog).detail);
        return DeleteOne::failed;
    }
    return DeleteOne::deleted;
}

} // namespace vantorelle
