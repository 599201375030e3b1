#include "app/ui/Presentation.h"

#include "app/shell/MenuBarPresentation.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace Presentation;
using Kind = ConnectionState::Kind;

TEST(PresentationTest, ConnectedTrayHeaderNamesTheFirstEdgesRegion) {
    const QDateTime fetched = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
    const SubscriptionMetadata twoEdges(
        {{u"a"_s, u"Amsterdam"_s, u"a.example"_s}, {u"b"_s, u"Berlin"_s, u"b.example"_s}}, {}, {},
        fetched);
    const SubscriptionMetadata noEdges({}, {u"youtube"_s}, {}, fetched);
    const ConnectionState connected(Kind::connected);
    EXPECT_EQ(MenuBarPresentation::forState(connected, twoEdges).statusTitle,
              u"Connected · Amsterdam"_s);
    EXPECT_EQ(MenuBarPresentation::forState(connected, noEdges).statusTitle, u"Connected"_s);
    EXPECT_EQ(MenuBarPresentation::forState(connected, std::nullopt).statusTitle, u"Connected"_s);
}

// Counted in milliseconds: a part of a second left is time left.
TEST(PresentationTest, RemainingTimeTextAndColour) {
    const QDateTime now = QDateTime::fromString(u"2026-03-01T09:30:00Z"_s, Qt::ISODate);
    constexpr qint64 day = 86'400'000;
    const struct {
        qint64 ms;
        const char* text;
        Tone tone;
    } rows[] = {
        {0, "Expired", Tone::red},
        {500, "1h left", Tone::orange},
        {day - 1, "23h left", Tone::orange},
        {day, "1 day left", Tone::orange},
        {3 * day - 1, "2 days left", Tone::orange},
        {3 * day, "3 days left", Tone::secondary},
    };
    for (const auto& row : rows) {
        const Remaining remaining = remainingTime(now.addMSecs(row.ms), now);
        EXPECT_EQ(remaining.text, QString::fromUtf8(row.text)) << row.ms;
        EXPECT_EQ(remaining.tone, row.tone) << row.ms;
    }
}

TEST(PresentationTest, CodeIsTrimmedOfSpacesAndTabsOnly) {
    const ConnectionState idle(Kind::notActivated);
    const struct {
        QString code;
        QString trimmed;
        bool canActivate;
    } rows[] = {
        {u"abc"_s, u"abc"_s, false},
        {u"    "_s, u""_s, false},
        {u" \tDEMO-2026\t "_s, u"DEMO-2026"_s, true},
        {u"  ab c  "_s, u"ab c"_s, true},
        {u"\nab\n"_s, u"\nab\n"_s, true},
        {u"\u00a0abc\u00a0"_s, u"\u00a0abc\u00a0"_s, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(trimmedCode(row.code), row.trimmed);
        EXPECT_EQ(canActivate(idle, row.code), row.canActivate) << row.code.toStdString();
    }
    EXPECT_FALSE(canActivate(ConnectionState(Kind::activating), u"DEMO-2026"_s));
    EXPECT_TRUE(canActivate(ConnectionState::error(u"x"_s), u"DEMO-2026"_s));
}

// Where the screen test shows a quote kept whole: text outside quotes, and
// a quote never closed, may still break.
TEST(PresentationTest, QuotedTextOnlyIsKeptWhole) {
    for (const QString& message : {u"no quotes - at all"_s, u"open “a b"_s, QString()})
        EXPECT_EQ(unbrokenQuotes(message), message) << message.toStdString();
    EXPECT_EQ(unbrokenQuotes(u"“a b” then “c d"_s), u"“a\u00a0b” then “c d"_s);
}

TEST(PresentationTest, VersionTextFallsBackPerKey) {
    const QVariantMap full{{u"shortVersion"_s, u"1.4.0"_s}, {u"build"_s, u"57"_s}};
    const QVariantMap noBuild{{u"shortVersion"_s, u"1.4.0"_s}};
    const QVariantMap notText{{u"shortVersion"_s, 14}, {u"build"_s, QStringList{u"57"_s}}};
    EXPECT_EQ(appVersionString(full), u"1.4.0 (57)"_s);
    EXPECT_EQ(appVersionString(noBuild), u"1.4.0 (?)"_s);
    EXPECT_EQ(appVersionString(notText), u"0.0 (?)"_s);
    EXPECT_EQ(appVersionString(std::nullopt), u"0.0 (?)"_s);
}

TEST(PresentationTest, HelpPageFollowsTheFirstPreferredLanguage) {
    EXPECT_EQ(helpPageURL({u"ru-RU"_s, u"en-US"_s}), u"https://morvel.dev/halvoran/ru/"_s);
    EXPECT_EQ(helpPageURL({u"RU"_s}), u"https://morvel.dev/halvoran/ru/"_s);
    EXPECT_EQ(helpPageURL({u"en-US"_s, u"ru-RU"_s}), u"https://morvel.dev/halvoran/"_s);
    EXPECT_EQ(helpPageURL({}), u"https://morvel.dev/halvoran/"_s);
}
