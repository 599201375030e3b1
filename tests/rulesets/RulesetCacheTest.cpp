#include "shared/rulesets/RulesetCache.h"

#include "shared/net/HttpSession.h"
#include "shared/net/NetworkAccess.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Route = HttpFixture::Route;

namespace {

class RulesetCacheTest : public ::testing::Test {
protected:
    void SetUp() override { QDir(*RulesetCache::rulesetsDirectory()).removeRecursively(); }

    void refresh(const QStringList& tags, double maxAge = 300) {
        Async::run(RulesetCache::refresh(tags, maxAge, *session));
    }
    // Runs a refresh while the clock moves on in 5-second steps, as long as
    // requests are still in flight, up to `span`.
    void refreshAdvancing(const QStringList& tags, std::chrono::seconds span) {
        auto running = RulesetCache::refresh(tags, 300, *session);
        ASSERT_TRUE(Async::waitUntil([&] { return service.requests().size() >= tags.size(); }));
        for (auto passed = 0s; passed < span; passed += 5s) {
            clock->advance(5s);
            Async::waitUntil([] { return false; }, 30ms); // a drip or two arrives
        }
        Async::run(std::move(running));
    }
    static QString path(const QString& tag) { return *RulesetCache::localURL(tag); }
    void put(const QString& tag, const QByteArray& content, qint64 secondsAgo) {
        QDir().mkpath(*RulesetCache::rulesetsDirectory());
        QFile file(path(tag));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.write(content) == content.size() && file.flush());
        ASSERT_TRUE(
            file.setFileTime(clock->now().addSecs(-secondsAgo), QFileDevice::FileModificationTime));
    }
    static QByteArray read(const QString& tag) {
        QFile file(path(tag));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : "<missing>";
    }

    HttpFixture service{HttpFixture::servicePort()};
    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(QDateTime::currentDateTimeUtc());
    std::unique_ptr<HttpSession> session =
        RulesetCache::makeDownloadSession(clock, NetworkAccessFactory::standard());
};

TEST_F(RulesetCacheTest, DownloadsOnlyWhatIsMissingOrStale) {
    struct Case {
        const char* tag;
        std::optional<qint64> cachedSecondsAgo;
        double maxAge;
        bool downloaded;
    };
    const Case cases[] = {
        {"missing", std::nullopt, 300, true},
        {"young", 299, 300, false},
        {"exactly-old", 300, 300, true},
        {"future", -3600, 0, false},
        {"forced", 1, 0, true},
    };
    for (const Case& c : cases) {
        const QString tag = QString::fromLatin1(c.tag);
        service.route("GET", u"/rulesets/"_s + tag + u".srs",
                      Route::answer(200, "new " + QByteArray(c.tag)));
        if (c.cachedSecondsAgo)
            put(tag, "old", *c.cachedSecondsAgo);
    }
    LogCapture log;
    for (const Case& c : cases)
        refresh({QString::fromLatin1(c.tag)}, c.maxAge);
    for (const Case& c : cases) {
        const QString tag = QString::fromLatin1(c.tag);
        EXPECT_EQ(service.count("GET", u"/rulesets/"_s + tag + u".srs"), c.downloaded ? 1 : 0)
            << c.tag;
        EXPECT_EQ(read(tag), c.downloaded ? "new " + QByteArray(c.tag) : QByteArray("old"))
            << c.tag;
    }
    EXPECT_TRUE(log.lines(u"rulesets"_s).contains(u"rule-set missing: cached 11 bytes"_s));
    // Nothing but the cached files is left behind.
    EXPECT_EQ(QDir(*RulesetCache::rulesetsDirectory()).entryList(QDir::Files | QDir::Hidden).size(),
              5);
}

TEST_F(RulesetCacheTest, FailedDownloadsLogAndKeepTheCachedFile) {
    struct Case {
        const char* tag;
        HttpFixture::Route route;
        const char* line;
    };
    const Case cases[] = {
        {"notmodified", Route::answer(304), "error: rule-set notmodified: HTTP 304"},
        {"dropped", Route::drop(), "error: rule-set dropped fetch failed: "},
        {"silent", Route::hang(), "error: rule-set silent fetch failed: The request timed out."},
        {"trickling", Route::trickle(1 << 20),
         "error: rule-set trickling fetch failed: The request timed out."},
        {"huge", Route::trickle(qint64(1) << 30),
         "error: rule-set huge fetch failed: The answer is larger than 33554432 bytes."},
    };
    QStringList tags;
    for (const Case& c : cases) {
        const QString tag = QString::fromLatin1(c.tag);
        tags << tag;
        service.route("GET", u"/rulesets/"_s + tag + u".srs", c.route);
        put(tag, "cached", 4000);
    }
    LogCapture log;
    // Past the 10 seconds a silent server gets, and the 120 a whole file gets.
    refreshAdvancing(tags, 125s);
    const QStringList lines = log.lines(u"rulesets"_s);
    ASSERT_EQ(lines.size(), qsizetype(std::size(cases))) << lines.join(u'\n').toStdString();
    for (const Case& c : cases) {
        EXPECT_EQ(read(QString::fromLatin1(c.tag)), "cached") << c.tag;
        const QString expected = QString::fromUtf8(c.line);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const QString& l) { return l.startsWith(expected); }))
            << c.line << "\n"
            << lines.join(u'\n').toStdString();
    }
}

TEST_F(RulesetCacheTest, AnEmptyAnswerCachesAnEmptyFile) {
    service.route("GET", u"/rulesets/empty.srs"_s, Route::answer(200, ""));
    LogCapture log;
    refresh({u"empty"_s});
    EXPECT_EQ(read(u"empty"_s), QByteArray());
    EXPECT_EQ(log.lines(u"rulesets"_s), QStringList{u"rule-set empty: cached 0 bytes"_s});
}

TEST_F(RulesetCacheTest, AnEmptyListStillMakesTheDirectoryOwnerOnly) {
    const QString directory = *RulesetCache::rulesetsDirectory();
    refresh({});
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(directory).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_TRUE(service.requests().isEmpty());
    EXPECT_FALSE(QFile::exists(path(u"never"_s)));

    // A link planted in its place is neither followed nor changed.
    QTemporaryDir elsewhere;
    ::chmod(QFile::encodeName(elsewhere.path()).constData(), 0755);
    QDir(directory).removeRecursively();
    ASSERT_TRUE(QFile::link(elsewhere.path(), directory));
    service.route("GET", u"/rulesets/planted.srs"_s, Route::answer(200, "x"));
    refresh({u"planted"_s});
    EXPECT_EQ(QFileInfo(elsewhere.path()).permissions() & QFile::ReadOther, QFile::ReadOther);
    QFile::remove(directory);
}

TEST_F(RulesetCacheTest, TagsAreFileNamesNeverPaths) {
    const QString outside =
        QFileInfo(*RulesetCache::rulesetsDirectory()).absolutePath() + u"/escaped.srs";
    const QStringList hostile{u""_s, u"."_s, u".."_s, u"../escaped"_s, u"a/b"_s, u"nul\0x"_s};
    for (const QString& tag : hostile)
        EXPECT_EQ(RulesetCache::localURL(tag), std::nullopt) << tag.toStdString();
    LogCapture log;
    refresh(hostile);
    EXPECT_TRUE(service.requests().isEmpty());
    EXPECT_FALSE(QFile::exists(outside));
    EXPECT_EQ(log.lines(u"rulesets"_s).size(), hostile.size());
    EXPECT_TRUE(log.lines(u"rulesets"_s)
                    .contains(u"error: rule-set \"nul\\x00x\" refused: not a plain file name"_s))
        << log.lines(u"rulesets"_s).join(u'\n').toStdString();

    // An odd but plain name is fetched, encoded as a path segment.
    service.route("GET", u"/rulesets/a%20b%25%3F.srs"_s, Route::answer(200, "x"));
    refresh({u"a b%?"_s});
    EXPECT_EQ(read(u"a b%?"_s), "x");
}

TEST_F(RulesetCacheTest, WithoutAContainerNothingHappens) {
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    QTemporaryDir scratch;
    QFile blocker(scratch.filePath(u"file"_s));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker.fileName()));
    LogCapture log;
    refresh({u"youtube"_s});
    EXPECT_EQ(RulesetCache::localURL(u"youtube"_s), std::nullopt);
    qputenv("XDG_DATA_HOME", dataHome);
    EXPECT_EQ(log.lines(u"rulesets"_s),
              QStringList{u"error: rulesets dir unavailable (App Group not entitled?)"_s});
    EXPECT_TRUE(service.requests().isEmpty());
}

TEST_F(RulesetCacheTest, TheSameTagTwiceEndsWithOneWholeFile) {
    const QByteArray body(256 * 1024, 'r');
    service.route("GET", u"/rulesets/twice.srs"_s, Route::answer(200, body));
    refresh({u"twice"_s, u"twice"_s});
    EXPECT_EQ(service.count("GET", u"/rulesets/twice.srs"_s), 2);
    EXPECT_EQ(read(u"twice"_s), body);
}

} // namespace
