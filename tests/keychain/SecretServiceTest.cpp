#include "platform/SecureItemStore.h"
#include "shared/keychain/Keychain.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/QtPrinters.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

// GLib names a struct member "signals", which Qt defines as a keyword.
#undef signals
#include <libsecret/secret.h>

using namespace Qt::StringLiterals;
using Key = Keychain::Key;

// Keychain against a real Secret Service: the private gnome-keyring that
// tests/keychain/with-keyring.sh starts.
namespace {

constexpr Key keys[] = {Key::subscriptionToken, Key::subscriptionURL};

SecureItemQuery queryFor(Key key) {
    return {SecureItemQuery::genericPassword, u"vpn-client"_s, Keychain::rawValue(key),
            Constants::keychainAccessGroup};
}

// The items for `key`, found by the four attributes alone, so that a second
// item would show whatever schema it carried.
int itemCount(Key key) {
    const SecureItemQuery query = queryFor(key);
    const QByteArray values[] = {query.itemClass.toUtf8(), query.service.toUtf8(),
                                 query.account.toUtf8(), query.accessGroup.toUtf8()};
    const char* names[] = {"class", "service", "account", "access_group"};
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    for (int i = 0; i < 4; ++i)
        g_hash_table_insert(attributes, const_cast<char*>(names[i]),
                            const_cast<char*>(values[i].constData()));
    GError* error = nullptr;
    GList* items = secret_service_search_sync(nullptr, nullptr, attributes, SECRET_SEARCH_ALL,
                                              nullptr, &error);
    g_hash_table_unref(attributes);
    EXPECT_EQ(error, nullptr) << error->message;
    const int count = int(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

// Locking needs no password. Unlocking without a prompt takes gnome-keyring's
// own method for it, with the password the wrapper chose, sent in the clear
// over a "plain" session.
void setLoginLocked(bool locked) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    const auto call = [bus](const char* interface, const char* method, GVariant* arguments) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", interface, method,
            arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
        EXPECT_EQ(error, nullptr) << method << ": " << error->message;
        return reply;
    };
    const char* login = "/org/freedesktop/secrets/collection/login";
    const char* paths[] = {login, nullptr};
    if (locked) {
        g_variant_unref(
            call("org.freedesktop.Secret.Service", "Lock", g_variant_new("(^ao)", paths)));
    } else {
        GVariant* opened = call("org.freedesktop.Secret.Service", "OpenSession",
                                g_variant_new("(sv)", "plain", g_variant_new_string("")));
        ASSERT_NE(opened, nullptr);
        const char* session = nullptr;
        g_variant_get(opened, "(v&o)", nullptr, &session);
        const QByteArray password = qgetenv("HALVORAN_TEST_KEYRING_PASSWORD");
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.constData(),
                                      gsize(password.size()), 1),
            "text/plain");
        g_variant_unref(call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                             "UnlockWithMasterPassword",
                             g_variant_new("(o@(oayays))", login, secret)));
        g_variant_unref(opened);
    }
    g_object_unref(bus);
}

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The tests write and delete our items: never in the user's own keyring.
        if (!privateKeyring)
            GTEST_FAIL() << "needs a private Secret Service: run it as "
                            "tests/keychain/with-keyring.sh <this program>";
        for (const Key key : keys)
            Keychain::deleteItem(key);
    }
    void TearDown() override {
        if (!privateKeyring)
            return;
        for (const Key key : keys)
            Keychain::deleteItem(key);
        // On a desktop a prompt waits for someone to answer it.
        QFile prompts(qEnvironmentVariable("HALVORAN_TEST_PROMPT_LOG"));
        EXPECT_FALSE(prompts.exists()) << "the keyring was asked to prompt";
        prompts.remove();
    }

    const bool privateKeyring = !qEnvironmentVariableIsEmpty("HALVORAN_TEST_KEYRING_PASSWORD");
};

TEST_F(SecretServiceTest, WriteReplaceReadAndDeleteOneItem) {
    LogCapture capture;
    for (const Key key : keys) {
        SCOPED_TRACE(Keychain::rawValue(key).toStdString());
        EXPECT_EQ(Keychain::read(key), std::nullopt);
        EXPECT_TRUE(Keychain::write(key, u"first"_s));
        EXPECT_TRUE(Keychain::write(key, u"sécond → "_s + Keychain::rawValue(key)));
        EXPECT_EQ(Keychain::read(key), u"sécond → "_s + Keychain::rawValue(key));
        EXPECT_EQ(itemCount(key), 1);
        EXPECT_TRUE(Keychain::write(key, QString()));
        EXPECT_EQ(Keychain::read(key), u""_s);
        Keychain::deleteItem(key);
        EXPECT_EQ(Keychain::read(key), std::nullopt);
        EXPECT_EQ(itemCount(key), 0);
        Keychain::deleteItem(key);
    }
    EXPECT_EQ(capture.lines(u"keychain"_s), QStringList());

    // What write relies on and never meets itself: an add over an existing item.
    const std::unique_ptr<SecureItemStore> store = createSystemSecureItemStore();
    EXPECT_EQ(store->add(queryFor(Key::subscriptionURL), "a\0\xff"_ba), SecureItemStore::success);
    EXPECT_EQ(store->add(queryFor(Key::subscriptionURL), "b"), SecureItemStore::duplicateItem);
    QByteArray data;
    EXPECT_EQ(store->copyMatching(queryFor(Key::subscriptionURL), &data), SecureItemStore::success);
    EXPECT_EQ(data, "a\0\xff"_ba);
}

TEST_F(SecretServiceTest, KeychainAndSharedDefaultsKeepTheirOwnCopies) {
    SharedDefaults::setSubscriptionToken(u"from defaults"_s);
    SharedDefaults::setSubscriptionURL(std::nullopt);
    ASSERT_TRUE(Keychain::write(Key::subscriptionToken, u"from keychain"_s));
    ASSERT_TRUE(Keychain::write(Key::subscriptionURL, u"https://keychain.example"_s));
    EXPECT_EQ(SharedDefaults::subscriptionToken(), u"from defaults"_s);
    EXPECT_EQ(SharedDefaults::subscriptionURL(), std::nullopt);
    SharedDefaults::clearAll();
    EXPECT_EQ(Keychain::read(Key::subscriptionToken), u"from keychain"_s);
    EXPECT_EQ(Keychain::read(Key::subscriptionURL), u"https://keychain.example"_s);
}

// Reported, not unlocked: unlocking would prompt, and no one answers the
// tunnel process's prompts.
TEST_F(SecretServiceTest, LockedCollectionFailsWithoutPromptingAndKeepsTheItem) {
    ASSERT_TRUE(Keychain::write(Key::subscriptionToken, u"kept"_s));
    LogCapture capture;
    setLoginLocked(true);
    EXPECT_EQ(Keychain::read(Key::subscriptionToken), std::nullopt);
    EXPECT_FALSE(Keychain::write(Key::subscriptionToken, u"lost"_s));
    EXPECT_FALSE(Keychain::write(Key::subscriptionURL, u"never added"_s));
    Keychain::deleteItem(Key::subscriptionToken);
    setLoginLocked(false);
    EXPECT_EQ(capture.lines(u"keychain"_s),
              (QStringList{u"error: SecItemCopyMatching(subscription_token) → -25293"_s,
                           u"error: SecItem write(subscription_token) → -25293"_s,
                           u"error: SecItem write(subscription_url) → -25293"_s,
                           u"error: SecItemDelete(subscription_token) → -25293"_s}));
    EXPECT_EQ(Keychain::read(Key::subscriptionToken), u"kept"_s);
}

// Prints each operation's status on a session bus that does not exist.
[[noreturn]] void useStoreWithoutABus() {
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/halvoran-bus");
    const std::unique_ptr<SecureItemStore> store = createSystemSecureItemStore();
    const SecureItemQuery query = queryFor(Key::subscriptionToken);
    QByteArray data;
    std::fprintf(stderr, "%d %d %d %d", store->copyMatching(query, &data),
                 store->update(query, "x"), store->add(query, "x"), store->remove(query));
    std::exit(0);
}

// In a child process, which has not connected to the bus yet.
TEST(SecretServiceUnreachable, EveryOperationAnswersNotAvailable) {
    EXPECT_EXIT(useStoreWithoutABus(), ::testing::ExitedWithCode(0), "-25291 -25291 -25291 -25291");
}

} // namespace
