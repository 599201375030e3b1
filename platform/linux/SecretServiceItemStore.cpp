#include "platform/linux/SecretServiceItemStore.h"

#include <QLoggingCategory>

#include <algorithm>
#include <vector>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <libsecret/secret.h>

using namespace Qt::StringLiterals;

std::unique_ptr<SecureItemStore> createSystemSecureItemStore() {
    return std::make_unique<SecretServiceItemStore>();
}

namespace {

// The service's own words for a failure, which the status cannot carry. Off
// unless asked for with QT_LOGGING_RULES.
Q_LOGGING_CATEGORY(detail, "dev.morvel.vpn.keychain.secretservice", QtInfoMsg)

template <auto release> struct Release {
    template <typename T> void operator()(T* p) const { release(p); }
};
template <typename T, auto release> using Owned = std::unique_ptr<T, Release<release>>;

using Service = Owned<SecretService, g_object_unref>;
using Collection = Owned<SecretCollection, g_object_unref>;
using Item = Owned<SecretItem, g_object_unref>;
using Value = Owned<SecretValue, secret_value_unref>;
using Attributes = Owned<GHashTable, g_hash_table_unref>;

// A GError out-parameter that frees what it receives.
struct Failure {
    GError* error = nullptr;
    ~Failure() { g_clear_error(&error); }
    GError** out() { return &error; }
};

const SecretSchema& schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = SecretServiceItemStore::schemaName;
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"class", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[3] = {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

Attributes attributesFor(const SecureItemQuery& query) {
    Attributes attributes(g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free));
    const auto put = [&](const char* name, const QString& value) {
        g_hash_table_insert(attributes.get(), const_cast<char*>(name),
                            g_strdup(value.toUtf8().constData()));
    };
    put("class", query.itemClass);
    put("service", query.service);
    put("account", query.account);
    put("access_group", query.accessGroup);
    return attributes;
}

// `whenGone` is the status for an object that vanished under us: the item an
// update or delete meant, or the collection an add meant.
int statusFor(const GError* error, int whenGone) {
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return SecureItemStore::authFailed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return whenGone;
        case SECRET_ERROR_ALREADY_EXISTS:
            return SecureItemStore::duplicateItem;
        }
    } else if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return SecureItemStore::authFailed;
        // What gnome-keyring answers for a path whose object was deleted.
        case G_DBUS_ERROR_UNKNOWN_METHOD:
        case G_DBUS_ERROR_UNKNOWN_OBJECT:
            return whenGone;
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            return SecureItemStore::notAvailable;
        }
    } else if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CLOSED:
        case G_IO_ERROR_TIMED_OUT:
        case G_IO_ERROR_CONNECTION_CLOSED: // the same code as G_IO_ERROR_BROKEN_PIPE
        case G_IO_ERROR_NOT_CONNECTED:
            return SecureItemStore::notAvailable;
        case G_IO_ERROR_DBUS_ERROR: {
            // The service restarted and no longer knows the session we opened.
            char* name = g_dbus_error_get_remote_error(error);
            const bool noSession = g_strcmp0(name, "org.freedesktop.Secret.Error.NoSession") == 0;
            g_free(name);
            if (noSession)
                return SecureItemStore::notAvailable;
            break;
        }
        }
    }
    return SecureItemStore::internalError;
}

int fail(const char* operation, const GError* error, int whenGone) {
    if (!error)
        return SecureItemStore::internalError;
    const int status = statusFor(error, whenGone);
    qCDebug(detail, "%s: %s (%s %d) → %d", operation, error->message,
            g_quark_to_string(error->domain), error->code, status);
    // Forget the connection, so the next call finds the service afresh if it
    // has come back.
    if (status == SecureItemStore::notAvailable)
        secret_service_disconnect();
    return status;
}

// The session's Secret Service with a session open for moving secrets; null,
// with `status` set, when there is none.
Service connect(int* status) {
    Failure failure;
    Service service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, failure.out()));
    if (!service) {
        // However the connection failed, there is no store to talk to.
        qCDebug(detail, "connect: %s", failure.error ? failure.error->message : "no service");
        *status = SecureItemStore::notAvailable;
        return service;
    }
    // GLib ends the process when its shared session bus connection closes; the
    // tunnel must outlive a session bus that goes away.
    g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get())),
                                        FALSE);
    return service;
}

// Every item of ours that matches, unlocked ones first, in `items`.
int find(SecretService* service, const SecureItemQuery& query, std::vector<Item>* items) {
    Failure failure;
    const Attributes attributes = attributesFor(query);
    // No SECRET_SEARCH_UNLOCK: unlocking would prompt.
    GList* found = secret_service_search_sync(service, &schema(), attributes.get(),
                                              SECRET_SEARCH_ALL, nullptr, failure.out());
    if (failure.error)
        return fail("search", failure.error, SecureItemStore::itemNotFound);
    for (GList* link = found; link; link = link->next)
        items->emplace_back(static_cast<SecretItem*>(link->data));
    g_list_free(found);
    return items->empty() ? SecureItemStore::itemNotFound : SecureItemStore::success;
}

bool anyLocked(const std::vector<Item>& items) {
    return std::any_of(items.begin(), items.end(),
                       [](const Item& item) { return secret_item_get_locked(item.get()); });
}

// Connects and finds the query's items; success only when there is at least one.
int lookUp(const SecureItemQuery& query, Service* service, std::vector<Item>* items) {
    int status = SecureItemStore::success;
    *service = connect(&status);
    if (!*service)
        return status;
    return find(service->get(), query, items);
}

// Applies `change` to every matching item. All or nothing as far as locks go:
// no item is changed unless every one can be.
template <typename Change>
int changeAll(const SecureItemQuery& query, const char* what, Change change) {
    Service service;
    std::vector<Item> items;
    if (const int status = lookUp(query, &service, &items); status != SecureItemStore::success)
        return status;
    if (anyLocked(items))
        return SecureItemStore::authFailed;
    for (const Item& item : items) {
        Failure failure;
        if (!change(item.get(), failure.out()))
            return fail(what, failure.error, SecureItemStore::itemNotFound);
    }
    return SecureItemStore::success;
}

Value valueFor(const QByteArray& data) {
    return Value(secret_value_new(data.constData(), data.size(), "application/octet-stream"));
}

} // namespace

int SecretServiceItemStore::copyMatching(const SecureItemQuery& query, QByteArray* data) {
    std::lock_guard lock(m_mutex);
    Service service;
    std::vector<Item> items;
    if (const int status = lookUp(query, &service, &items); status != success)
        return status;
    const auto unlocked = std::find_if(items.begin(), items.end(), [](const Item& item) {
        return !secret_item_get_locked(item.get());
    });
    if (unlocked == items.end())
        return authFailed;
    SecretItem* item = unlocked->get();
    Failure failure;
    if (!secret_item_load_secret_sync(item, nullptr, failure.out()))
        return fail("load secret", failure.error, itemNotFound);
    const Value value(secret_item_get_secret(item));
    if (!value)
        return internalError;
    gsize length = 0;
    const char* bytes = secret_value_get(value.get(), &length);
    *data = QByteArray(bytes, qsizetype(length));
    return success;
}

int SecretServiceItemStore::update(const SecureItemQuery& query, const QByteArray& data) {
    std::lock_guard lock(m_mutex);
    const Value value = valueFor(data);
    return changeAll(query, "set secret", [&value](SecretItem* item, GError** error) {
        return secret_item_set_secret_sync(item, value.get(), nullptr, error);
    });
}

int SecretServiceItemStore::add(const SecureItemQuery& query, const QByteArray& data) {
    std::lock_guard lock(m_mutex);
    Service service;
    std::vector<Item> items;
    const int status = lookUp(query, &service, &items);
    if (status == success)
        return duplicateItem;
    if (status != itemNotFound)
        return status;

    Failure failure;
    const Collection collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, failure.out()));
    if (failure.error)
        return fail("default collection", failure.error, noDefaultKeychain);
    // Creating the default collection would ask the user for its password.
    if (!collection)
        return noDefaultKeychain;
    if (secret_collection_get_locked(collection.get()))
        return authFailed;

    const QString label = query.service + u" ("_s + query.account + u')';
    const Attributes attributes = attributesFor(query);
    const Value value = valueFor(data);
    const Item created(secret_item_create_sync(collection.get(), &schema(), attributes.get(),
                                               label.toUtf8().constData(), value.get(),
                                               SECRET_ITEM_CREATE_NONE, nullptr, failure.out()));
    if (!created)
        return fail("create", failure.error, noDefaultKeychain);
    return success;
}

int SecretServiceItemStore::remove(const SecureItemQuery& query) {
    std::lock_guard lock(m_mutex);
    return changeAll(query, "delete", [](SecretItem* item, GError** error) {
        return secret_item_delete_sync(item, nullptr, error);
    });
}
