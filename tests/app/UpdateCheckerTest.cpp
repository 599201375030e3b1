#include "app/core/UpdateChecker.h"

#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeUpdater.h"
#include "platform/linux/Appcast.h"
#include "platform/linux/AppcastUpdater.h"
#include "shared/net/NetworkAccess.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QCoreApplication>

#include <gtest/gtest.h>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class UpdateCheckerTest : public ::testing::Test {
protected:
    FakeUpdater* fake = nullptr;
    UpdateChecker checker{[this](UpdaterDelegate& delegate) {
        auto updater = std::make_unique<FakeUpdater>(delegate);
        fake = updater.get();
        return updater;
    }};
    LogCapture log;

    static void settle() { QCoreApplication::processEvents(); }
};

QByteArray feed(const QByteArray& items) {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Halvoran</title>)" +
           items + "</channel></rss>";
}

QByteArray item(const QByteArray& version, const QByteArray& shortVersion,
                const QByteArray& link = "https://morvel.dev/halvoran/") {
    return "<item><title>Version " + shortVersion + "</title><link>" + link +
           "</link><sparkle:version>" + version + "</sparkle:version><sparkle:shortVersionString>" +
           shortVersion + "</sparkle:shortVersionString></item>";
}

} // namespace

TEST_F(UpdateCheckerTest, PublishesFindingsOnTheMainThreadInOrder) {
    EXPECT_FALSE(checker.available());
    EXPECT_TRUE(checker.availableVersion().isEmpty());
    EXPECT_TRUE(checker.availableBuild().isEmpty());

    // Reported from another thread: nothing changes until the main loop runs.
    std::thread([&] { fake->find({u"1.5.0"_s, u"58"_s, {}}); }).join();
    EXPECT_FALSE(checker.available());
    settle();
    EXPECT_TRUE(checker.available());
    EXPECT_EQ(checker.availableVersion(), u"1.5.0"_s);
    EXPECT_EQ(checker.availableBuild(), u"58"_s);
    EXPECT_EQ(log.lines(u"update"_s), QStringList{u"update available: 1.5.0 (58)"_s});

    // The later report wins; nothing found keeps the last versions.
    fake->find({u"1.6.0"_s, u"1.6.0"_s, {}});
    fake->findNothing();
    settle();
    EXPECT_FALSE(checker.available());
    EXPECT_EQ(checker.availableVersion(), u"1.6.0"_s);
    EXPECT_EQ(checker.availableBuild(), u"1.6.0"_s);

    checker.checkForUpdates();
    EXPECT_EQ(fake->userChecks, 1);
}

TEST(AppcastTest, PicksTheNewestValidReleaseAndRefusesHostileFeeds) {
    QByteArray deep = "<rss><channel>";
    for (int i = 0; i < 40; ++i)
        deep += "<x>";
    const struct {
        const char* what;
        QByteArray feed;
        // Absent: the feed is refused; empty version: no update.
        std::optional<AppcastItem> expected;
    } rows[] = {
        {"a newer release", feed(item("56", "1.3.0") + item("58", "1.5.0") + item("57", "1.4.0")),
         AppcastItem{u"1.5.0"_s, u"58"_s, QUrl(u"https://morvel.dev/halvoran/"_s)}},
        {"nothing newer", feed(item("57", "1.4.0") + item("12", "0.9")), AppcastItem{}},
        {"versions on the enclosure",
         feed(R"(<item><enclosure url="https://morvel.dev/h-1.5.zip" sparkle:version="58"
             sparkle:shortVersionString="1.5.0" length="1" type="application/zip"/></item>)"),
         AppcastItem{u"1.5.0"_s, u"58"_s, QUrl(u"https://morvel.dev/h-1.5.zip"_s)}},
        {"no display version", feed(item("58", "")),
         AppcastItem{u"58"_s, u"58"_s, QUrl(u"https://morvel.dev/halvoran/"_s)}},
        {"bogus versions skipped",
         feed(item("99; rm -rf", "9.9") + item("1.2.3.4.5", "9") + item("9999999999", "9") +
              item("60", "1.6.0&#x202E;") + item("59", "1.5.9", "javascript:alert(1)")),
         AppcastItem{u"1.5.9"_s, u"59"_s, QUrl()}},
        {"not XML", "<rss><channel><item>", std::nullopt},
        {"not RSS", "<feed><channel/></feed>", std::nullopt},
        {"a DTD", "<!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss><channel/></rss>", std::nullopt},
        {"too deep", deep, std::nullopt},
        {"too large", feed(QByteArray(Appcast::maxBytes, ' ')), std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto items = Appcast::parse(row.feed);
        ASSERT_EQ(items.has_value(), row.expected.has_value());
        if (!items)
            continue;
        const auto update = Appcast::newestUpdate(*items, u"57"_s);
        EXPECT_EQ(update.value_or(AppcastItem{}), *row.expected);
    }
}

namespace {

// The Linux updater reading a feed from the local server, on the manual clock.
struct FeedUpdater : UpdaterDelegate {
    void didFindValidUpdate(Updater&, const AppcastItem& item) override { found.append(item); }
    void didNotFindUpdate(Updater&) override { ++nothing; }
    void serve(const HttpFixture::Route& route) { server.route("GET", u"/appcast.xml"_s, route); }
    // Starts it, and lets the ten seconds pass that the first check waits.
    AppcastUpdater& start() {
        updater.emplace(
            AppcastUpdater::Configuration{server.url(u"/appcast.xml"_s), 3600s, u"57"_s}, *this,
            desktop, clock, NetworkAccessFactory::standard());
        clock->advance(10s);
        return *updater;
    }

    QList<AppcastItem> found;
    int nothing = 0;
    HttpFixture server;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    FakeDesktop desktop;
    std::optional<AppcastUpdater> updater;
};

} // namespace

TEST(AppcastUpdaterTest, ChecksAtStartAndOnScheduleAndOpensThePageForTheUser) {
    FeedUpdater feedUpdater;
    feedUpdater.serve(HttpFixture::Route::answer(200, feed(item("58", "1.5.0"))));
    AppcastUpdater& updater = feedUpdater.start();
    const QList<AppcastItem>& found = feedUpdater.found;
    ASSERT_TRUE(Async::waitUntil([&] { return found.size() == 1; }));
    EXPECT_EQ(found.first().versionString, u"58"_s);
    EXPECT_TRUE(feedUpdater.desktop.opened.isEmpty());

    updater.checkForUpdates();
    ASSERT_TRUE(Async::waitUntil([&] { return found.size() == 2; }));
    EXPECT_EQ(feedUpdater.desktop.opened, QList<QUrl>{QUrl(u"https://morvel.dev/halvoran/"_s)});

    feedUpdater.serve(HttpFixture::Route::answer(200, feed(item("57", "1.4.0"))));
    feedUpdater.clock->advance(3600s);
    ASSERT_TRUE(Async::waitUntil([&] { return feedUpdater.nothing == 1; }));
    EXPECT_EQ(feedUpdater.server.count("GET", u"/appcast.xml"_s), 3);
}

TEST(AppcastUpdaterTest, AFeedThatFailsIsLoggedOnceAndReportsNothing) {
    const struct {
        const char* what;
        HttpFixture::Route route;
        QString line;
    } rows[] = {
        {"missing", HttpFixture::Route::answer(404),
         u"error: update check failed: the feed answered HTTP 404"_s},
        {"garbage", HttpFixture::Route::answer(200, "<html>"),
         u"error: update check failed: the feed is not an update feed"_s},
        {"huge", HttpFixture::Route::answer(200, QByteArray(Appcast::maxBytes + 10, 'x')),
         u"error: update check failed: the feed is larger than 1048576 bytes"_s},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        LogCapture log;
        FeedUpdater feedUpdater;
        feedUpdater.serve(row.route);
        feedUpdater.start();
        ASSERT_TRUE(Async::waitUntil([&] { return !log.lines(u"update"_s).isEmpty(); }));
        Async::waitUntil([] { return false; }, 50ms);
        EXPECT_EQ(log.lines(u"update"_s), QStringList{row.line});
        EXPECT_TRUE(feedUpdater.found.isEmpty());
        EXPECT_EQ(feedUpdater.nothing, 0);
    }
}
