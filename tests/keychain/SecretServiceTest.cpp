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
