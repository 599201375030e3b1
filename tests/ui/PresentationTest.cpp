#include "app/ui/Presentation.h"

#include "app/shell/MenuBarPresentation.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace Presentation;
using Kind = ConnectionState::Kind;
using Action = MenuBarPresentation::Action;

namespace {

ConnectionState stateOf(Kind kind) {
    return kind == Kind::error ? ConnectionState::error(u"boom"_s) : ConnectionState(kind);
}

struct StateRow {
    Kind kind;
    Tone pillDot;
    const char* pillLabel;
    Tone circle;
    int shadow;
    const char* caption;
    Tone captionTone;
    bool enabled;
    const char* icon;
    const char* header;
    const char* actionTitle;
    Action action;
    const char* key;
};

const StateRow stateRows[] = {
    {Kind::notActivated, Tone::gray, "not activated", Tone::dimmed, 0, "Not activated",
     Tone::primary, false, "lock.open", "Not activated", "Open VPN…", Action::open, "o"},
    {Kind::needsExtensionApproval, Tone::gray, "approval needed", Tone::dimmed, 0,
     "Approve in Settings", Tone::primary, true, "lock.open", "Waiting for approval…", "Open VPN…",
     Action::open, "o"},
    {Kind::activating, Tone::yellow, "activating", Tone::yellow, 0, "Activating…", Tone::primary,
     false, "lock.rotation", "Activating…", "Activating…", Action::none, ""},
    {Kind::idle, Tone::gray, "disconnected", Tone::dimmed, 0, "Tap to connect", Tone::primary, true,
     "lock.open", "Disconnected", "Connect", Action::connect, "k"},
    {Kind::connecting, Tone::yellow, "connecting", Tone::yellow, 18, "Connecting…", Tone::primary,
     false, "lock.rotation", "Connecting…", "Connecting…", Action::none, ""},
    {Kind::connected, Tone::green, "connected", Tone::accent, 18, "Connected", Tone::accent, true,
     "lock.fill", "Connected", "Disconnect", Action::disconnect, "k"},
    {Kind::disconnecting, Tone::yellow, "disconnecting", Tone::yellow, 18, "Disconnecting…",
     Tone::primary, false, "lock.rotation", "Disconnecting…", "Disconnecting…", Action::none, ""},
    {Kind::error, Tone::red, "error", Tone::red, 0, "Tap to retry", Tone::red, true,
     "exclamationmark.triangle.fill", "Error: boom", "Connect", Action::connect, "k"},
};

} // namespace

TEST(PresentationTest, EachStateHasItsPillButtonAndTrayItem) {
    for (const StateRow& row : stateRows) {
        const ConnectionState state = stateOf(row.kind);
        SCOPED_TRACE(row.pillLabel);
        const Pill pill = statusPill(state);
        EXPECT_EQ(pill.dot, row.pillDot);
        EXPECT_EQ(pill.label, QString::fromUtf8(row.pillLabel));
        const PowerButton button = powerButton(state);
        EXPECT_EQ(button.circle, row.circle);
        EXPECT_EQ(button.shadowRadius, row.shadow);
        EXPECT_EQ(button.caption, QString::fromUtf8(row.caption));
        EXPECT_EQ(button.captionTone, row.captionTone);
        EXPECT_EQ(button.enabled, row.enabled);
        const auto tray = MenuBarPresentation::forState(state, std::nullopt);
        EXPECT_EQ(tray.iconName, QString::fromUtf8(row.icon));
        EXPECT_EQ(tray.statusTitle, QString::fromUtf8(row.header));
        EXPECT_EQ(tray.actionTitle, QString::fromUtf8(row.actionTitle));
        EXPECT_EQ(tray.action, row.action);
        EXPECT_EQ(tray.key, QString::fromUtf8(row.key));
    }
}

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

TEST(PresentationTest, DotsFollowTheHealthAndNameItInTheTooltip) {
    const auto health = [](HealthStatus status, std::optional<qint64> latency) {
        return std::optional<RulesetHealth>(RulesetHealth{u"youtube"_s, status, latency, {}});
    };
    const struct {
        std::optional<RulesetHealth> health;
        Tone tone;
        QString tooltip;
        bool pulsing;
    } rows[] = {
        {std::nullopt, Tone::gray, u"youtube: unknown"_s, false},
        {health(HealthStatus::unknown, {}), Tone::gray, u"youtube: unknown"_s, false},
        {health(HealthStatus::probing, {}), Tone::yellow, u"youtube: probing"_s, true},
        {health(HealthStatus::healthy, 143), Tone::green, u"youtube: healthy, 143ms"_s, false},
        {health(HealthStatus::healthy, {}), Tone::green, u"youtube: healthy"_s, false},
        {health(HealthStatus::degraded, 2400), Tone::yellow, u"youtube: degraded, 2400ms"_s, false},
        {health(HealthStatus::down, {}), Tone::red, u"youtube: down"_s, false},
    };
    for (const auto& row : rows) {
        const Dot dot = rulesetDot(u"youtube"_s, row.health);
        EXPECT_EQ(dot.tone, row.tone) << row.tooltip.toStdString();
        EXPECT_EQ(dot.tooltip, row.tooltip);
        EXPECT_EQ(dot.pulsing, row.pulsing) << row.tooltip.toStdString();
    }
}

TEST(PresentationTest, RemainingTimeTextAndColour) {
    const QDateTime now = QDateTime::fromString(u"2026-03-01T09:30:00Z"_s, Qt::ISODate);
    const struct {
        qint64 seconds;
        const char* text;
        Tone tone;
    } rows[] = {
        {-5, "Expired", Tone::red},
        {0, "Expired", Tone::red},
        {20 * 60, "1h left", Tone::orange},
        {2 * 3600 + 30 * 60, "2h left", Tone::orange},
        {86400, "1 day left", Tone::orange},
        {3 * 86400 - 1, "2 days left", Tone::orange},
        {3 * 86400, "3 days left", Tone::secondary},
        {3 * 86400 + 1, "3 days left", Tone::secondary},
        {400 * 86400, "400 days left", Tone::secondary},
    };
    for (const auto& row : rows) {
        const Remaining remaining = remainingTime(now.addSecs(row.seconds), now);
        EXPECT_EQ(remaining.text, QString::fromUtf8(row.text)) << row.seconds;
        EXPECT_EQ(remaining.tone, row.tone) << row.seconds;
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

TEST(PresentationTest, QuotedTextHasNoPlaceToBreak) {
    const struct {
        QString message;
        QString laidOut;
    } rows[] = {
        {u"Start it with “halvoran-tunneld --session”."_s,
         u"Start it with “halvoran-\u2060tunneld\u00a0-\u2060-\u2060session”."_s},
        {u"“a b” and “c/d”"_s, u"“a\u00a0b” and “c/\u2060d”"_s},
        // Outside the quotes, and in a quote never closed, lines may break.
        {u"no quotes - at all"_s, u"no quotes - at all"_s},
        {u"open “a b"_s, u"open “a b"_s},
        {u"“a b” then “c d"_s, u"“a\u00a0b” then “c d"_s},
        {QString(), QString()},
    };
    for (const auto& row : rows)
        EXPECT_EQ(unbrokenQuotes(row.message), row.laidOut) << row.message.toStdString();
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
    EXPECT_EQ(helpLinkLabel(), u"morvel.dev/halvoran"_s);
}
