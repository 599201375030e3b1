#include "shared/keychain/Keychain.h"

#include "platform/fake/FakeSecureItemStore.h"
#include "tests/support/LogCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Key = Keychain::Key;
using Op = FakeSecureItemStore::Operation;

namespace {

constexpr int notFound = SecureItemStore::itemNotFound;

class KeychainTest : public ::testing::Test {
protected:
    void TearDown() override { Keychain::useItemStore(nullptr); }

    // A fresh fake store answering `statuses`, and a fresh log.
    FakeSecureItemStore& useFake(std::map<Op, int> statuses, const QByteArray& stored = {}) {
        log.reset();
        log = std::make_unique<LogCapture>();
        store = std::make_unique<FakeSecureItemStore>();
        store->statuses = std::move(statuses);
        store->stored = stored;
        Keychain::useItemStore(store.get());
        return *store;
    }
    static QStringList logged(const char* line) {
        return line ? QStringList{u"error: "_s + QString::fromUtf8(line)} : QStringList();
    }

    std::unique_ptr<FakeSecureItemStore> store;
    std::unique_ptr<LogCapture> log;
};

TEST_F(KeychainTest, ReadGivesStrictUtf8TextAndLogsOnlyRealFailures) {
    const struct {
        int status;
        QByteArray stored;
        std::optional<QString> text;
        const char* log;
    } cases[] = {
        {0, "t\xc3\xb6k\xe2\x86\x92", u"tök→"_s, nullptr},
        {0, "", u""_s, nullptr},
        {0, "\xef\xbb\xbfu", u"\ufeffu"_s, nullptr}, // a byte-order mark is text too
        {0, "ab\xff", std::nullopt, nullptr},
        {0, "ab\xe2\x86", std::nullopt, nullptr}, // cut off
        {notFound, {}, std::nullopt, nullptr},
        {-25293, {}, std::nullopt, "SecItemCopyMatching(subscription_token) → -25293"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.toHex().toStdString() + " " + std::to_string(c.status));
        useFake({{Op::copyMatching, c.status}}, c.stored);
        EXPECT_EQ(Keychain::read(Key::subscriptionToken), c.text);
        EXPECT_EQ(store->operations(), QList<Op>{Op::copyMatching});
        EXPECT_EQ(log->lines(u"keychain"_s), logged(c.log));
    }
}

TEST_F(KeychainTest, WriteAddsOnlyAMissingItemAndLogsTheFailingStatus) {
    constexpr int notCalled = 1;
    const struct {
        int update;
        int add;
        bool written;
        const char* log;
    } cases[] = {
        {0, notCalled, true, nullptr},
        {notFound, 0, true, nullptr},
        // The item may exist: it is left alone, neither deleted nor added again.
        {-25293, notCalled, false, "SecItem write(subscription_token) → -25293"},
        {notFound, -25299, false, "SecItem write(subscription_token) → -25299"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.update) + " " + std::to_string(c.add));
        useFake({{Op::update, c.update}, {Op::add, c.add}});
        EXPECT_EQ(Keychain::write(Key::subscriptionToken, u"secret"_s), c.written);
        const QList<Op> expected =
            c.add == notCalled ? QList<Op>{Op::update} : QList<Op>{Op::update, Op::add};
        EXPECT_EQ(store->operations(), expected);
        EXPECT_EQ(log->lines(u"keychain"_s), logged(c.log));
    }
}

TEST_F(KeychainTest, DeleteIsSilentUnlessTheItemCouldNotBeRemoved) {
    const std::pair<int, const char*> cases[] = {
        {0, nullptr},
        {notFound, nullptr},
        {-25291, "SecItemDelete(subscription_token) → -25291"},
    };
    for (const auto& [status, line] : cases) {
        useFake({{Op::remove, status}});
        Keychain::deleteItem(Key::subscriptionToken);
        EXPECT_EQ(store->operations(), QList<Op>{Op::remove});
        EXPECT_EQ(log->lines(u"keychain"_s), logged(line)) << status;
    }
}

} // namespace
