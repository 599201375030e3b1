// The window against the real controller on the fake platform and the local
// service: every routed state is driven as a user would drive it, asserted on
// named items, and saved as a PNG (the desktop asking for light, and for
// dark) for review. The window's geometry and what a screen reader meets are
// checked on a real X server by real-window/.
#include "app/core/TunnelController.h"
#include "app/core/UpdateChecker.h"
#include "app/ui/Presentation.h"
#include "app/ui/TunnelAdapter.h"
#include "app/ui/UiContext.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeExtensionRequest.h"
#include "platform/fake/FakeUpdater.h"
#include "platform/fake/FakeVpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/QtPrinters.h"

#include <QAccessible>
#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QtQml/QQmlExtensionPlugin>

#include <gtest/gtest.h>

Q_IMPORT_QML_PLUGIN(Halvoran_UiPlugin)

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Call = FakeVpnProfileStore::Call;
using Route = HttpFixture::Route;
using Tone = Presentation::Tone;
using Kind = ConnectionState::Kind;

namespace {

const QByteArray config =
    R"({"outbounds":[{"type":"vless","tag":"edge-ams","server":"ams.example.net","server_port":443},
                     {"type":"vless","tag":"edge-fra","server":"fra.example.net","server_port":443}],
        "route":{"rule_set":[{"tag":"youtube"},{"tag":"code"},{"tag":"streaming"},{"tag":"ipcheck"}]}})";

} // namespace

class ScreensTest : public ::testing::TestWithParam<std::string> {
protected:
    static inline const QString token = u"tok1"_s;
    using Scheme = Desktop::ColorScheme;

    ScreensTest() {
        SharedDefaults::clearAll();
        desktop.scheme = GetParam() == "dark" ? Scheme::dark : Scheme::light;
        const QDateTime expiry = clock->now().addSecs(2 * 86400 + 3600);
        service.route("GET", u"/api/sub/"_s + token,
                      Route::answer(200, config)
                          .withHeader("X-Subscription-Expires-At",
                                      expiry.toString(Qt::ISODateWithMs).toLatin1()));
        service.route("HEAD", u"/probe"_s, Route::answer(200));
        service.route("HEAD", u"/slow-probe"_s, Route::hang());
        for (const char* set : {"youtube", "code", "streaming", "ipcheck"})
            service.route("GET", u"/rulesets/%1.srs"_s.arg(QLatin1StringView(set)),
                          Route::answer(200, "srs"));
        service.route("POST", u"/api/activate"_s,
                      Route::hold(200).withHeader("Content-Type", "application/json"));
    }
    ~ScreensTest() override {
        engine.reset();
        context.reset();
        adapter.reset();
        updates.reset();
        controller.reset();
        settle();
        SharedDefaults::clearAll();
    }

    void launch() {
        const QHash<QString, QUrl> probes{{u"youtube"_s, service.url(u"/probe"_s)},
                                          {u"code"_s, service.url(u"/slow-probe"_s)}};
        controller = std::make_unique<TunnelController>(profiles, extensions, api, clock,
                                                        NetworkAccessFactory::standard(), probes);
        updates = std::make_unique<UpdateChecker>([this](UpdaterDelegate& delegate) {
            auto updater = std::make_unique<FakeUpdater>(delegate);
            updater_ = updater.get();
            return updater;
        });
        adapter = std::make_unique<TunnelAdapter>(*controller, desktop, clock);
        context = std::make_unique<UiContext>(*adapter, *updates, desktop);
        engine = std::make_unique<QQmlApplicationEngine>();
        UiContext::loadWindow(*engine);
        ASSERT_EQ(engine->rootObjects().size(), 1);
        window = qobject_cast<QQuickWindow*>(engine->rootObjects().first());
        ASSERT_NE(window, nullptr);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        window->requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        settle();
    }

    void answerActivation() {
        service.route("POST", u"/api/activate"_s,
                      Route::answer(200, R"({"subscription_url":"/api/sub/)" + token.toUtf8() +
                                             R"(","expires_at":"2026-07-01T12:00:00Z"})"));
    }
    bool in(Kind kind) const {
        return until([&] { return controller->state().kind() == kind; });
    }
    // Activates the device with the demo code through the activation screen.
    void activate() {
        extensions.finish();
        settle();
        type(u"  DEMO-2026 "_s);
        QTest::keyClick(window, Qt::Key_Return);
        ASSERT_TRUE(in(Kind::activating));
        answerActivation();
        service.release();
        ASSERT_TRUE(in(Kind::idle)) << controller->state().message().toStdString();
        ASSERT_TRUE(until([&] { return controller->metadata().has_value(); }));
        settle();
    }

    void type(const QString& text) {
        QQuickItem* field = item("codeField");
        ASSERT_NE(field, nullptr);
        field->forceActiveFocus();
        for (const QChar c : text)
            QTest::keyClick(window, char(c.toLatin1()));
    }

    template <typename Condition> static bool until(Condition condition) {
        return Async::waitUntil(condition, 5s);
    }
    static void settle() {
        for (int i = 0; i < 6; ++i)
            QCoreApplication::processEvents();
    }

    // The item of that name anywhere in the scene, popups included.
    QQuickItem* item(const char* name) const {
        QQuickItem* root = window->contentItem();
        while (root->parentItem())
            root = root->parentItem();
        return find(root, QLatin1StringView(name));
    }
    static QQuickItem* find(QQuickItem* from, QLatin1StringView name) {
        if (from->objectName() == name)
            return from;
        for (QQuickItem* child : from->childItems())
            if (QQuickItem* found = find(child, name))
                return found;
        return nullptr;
    }
    QString text(const char* name) const {
        QQuickItem* found = item(name);
        return found ? found->property("text").toString()
                     : u"<missing %1>"_s.arg(QLatin1StringView(name));
    }
    bool shown(const char* name) const {
        QQuickItem* found = item(name);
        return found && found->isVisible();
    }
    void click(const char* name) {
        QQuickItem* target = item(name);
        ASSERT_NE(target, nullptr) << name;
        ASSERT_TRUE(target->isVisible() && target->isEnabled()) << name;
        const QPointF center =
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, {}, center.toPoint());
        settle();
    }

    // Whether a screen reader meets that name anywhere in the window.
    bool readAloud(const QString& name) const {
        const auto walk = [&](const auto& self, QAccessibleInterface* node) -> bool {
            if (!node || node->text(QAccessible::Name) == name)
                return node != nullptr;
            for (int i = 0; i < node->childCount(); ++i)
                if (self(self, node->child(i)))
                    return true;
            return false;
        };
        return walk(walk, QAccessible::queryAccessibleInterface(window));
    }

    // Presses Tab until `name` has the focus, and checks it has a name for
    // assistive technology.
    void tabTo(const char* name) {
        for (int i = 0; i < 30; ++i) {
            QQuickItem* target = item(name);
            if (target && target->hasActiveFocus()) {
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(target);
                ASSERT_NE(accessible, nullptr) << name;
                EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << name;
                return;
            }
            QTest::keyClick(window, Qt::Key_Tab);
            settle();
        }
        FAIL() << "Tab never reaches " << name;
    }

    // Waits out the quarter-second animations, then saves the window.
    void shot(const QString& name) {
        QTest::qWait(320);
        settle();
        const QString dir = QString::fromLocal8Bit(qgetenv("HALVORAN_SCREENSHOTS"));
        if (dir.isEmpty())
            return;
        const QString palette = QString::fromStdString(GetParam());
        QDir().mkpath(dir + u'/' + palette);
        const QImage image = window->grabWindow();
        ASSERT_FALSE(image.isNull());
        EXPECT_TRUE(image.save(dir + u'/' + palette + u'/' + name + u".png"_s));
    }

    std::shared_ptr<ManualClock> clock =
        std::make_shared<ManualClock>(QDateTime::currentDateTimeUtc());
    HttpFixture service{HttpFixture::servicePort()};
    APIClient api{clock, NetworkAccessFactory::standard()};
    FakeVpnProfileStore profiles;
    FakeExtensionManager extensions;
    FakeDesktop desktop;
    FakeUpdater* updater_ = nullptr;
    std::unique_ptr<TunnelController> controller;
    std::unique_ptr<UpdateChecker> updates;
    std::unique_ptr<TunnelAdapter> adapter;
    std::unique_ptr<UiContext> context;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow* window = nullptr;
};

TEST_P(ScreensTest, ActivationApprovalAndTheTypedCode) {
    ASSERT_NO_FATAL_FAILURE(launch());
    // The desktop's scheme, also when the user changes it while the window is up.
    const auto windowIsDark = [&] { return window->color().lightnessF() < 0.5; };
    EXPECT_EQ(windowIsDark(), GetParam() == "dark");
    const Scheme chosen = desktop.scheme;
    desktop.setColorScheme(chosen == Scheme::dark ? Scheme::light : Scheme::dark);
    EXPECT_EQ(windowIsDark(), chosen != Scheme::dark);
    desktop.setColorScheme(chosen);
    ASSERT_TRUE(shown("activationView"));
    shot(u"notActivated"_s);

    // The extension asks for approval: the approval screen, whose button asks again.
    extensions.needApproval();
    ASSERT_TRUE(until([&] { return shown("approvalView"); }));
    shot(u"needsExtensionApproval"_s);
    const qsizetype before = extensions.count();
    click("approveButton");
    EXPECT_EQ(extensions.count(), before + 1);

    extensions.finish();
    ASSERT_TRUE(until([&] { return shown("activationView"); }));
    EXPECT_EQ(text("codeField"), QString());

    // Three characters are too few, four will do.
    type(u"abc"_s);
    EXPECT_FALSE(item("activateButton")->isEnabled());
    type(u"D"_s);
    EXPECT_TRUE(item("activateButton")->isEnabled());
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_TRUE(in(Kind::activating));
    EXPECT_FALSE(item("activateButton")->isEnabled());
    // Return again while activating sends nothing more.
    QTest::keyClick(window, Qt::Key_Return);
    shot(u"activating"_s);

    // A failed activation: the reason beside the typed code, ready for another try.
    service.route("POST", u"/api/activate"_s,
                  Route::answer(403, R"({"detail":"code already used"})"));
    service.release();
    ASSERT_TRUE(in(Kind::notActivated));
    settle();
    EXPECT_TRUE(shown("activationView"));
    EXPECT_TRUE(shown("activationNotice"));
    EXPECT_EQ(text("codeField"), u"abcD"_s);
    EXPECT_TRUE(item("activateButton")->isEnabled());
    EXPECT_EQ(service.count("POST", u"/api/activate"_s), 1);
    EXPECT_TRUE(service.requests().last().body.contains("\"abcD\""));
    shot(u"activationFailed"_s);
}

TEST_P(ScreensTest, StatusScreenThroughConnectAndDisconnect) {
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(activate());
    ASSERT_TRUE(shown("statusView"));
    EXPECT_EQ(text("powerCaption"), u"Tap to connect"_s);
    EXPECT_TRUE(shown("subscriptionCard"));
    EXPECT_FALSE(shown("servicesList"));
    shot(u"idle"_s);

    click("powerButton");
    ASSERT_TRUE(until([&] { return profiles.calls().contains(u"start"_s); }));
    profiles.setStatus(VpnStatus::connecting);
    ASSERT_TRUE(until([&] { return text("powerCaption") == u"Connecting…"_s; }));
    EXPECT_TRUE(shown("servicesList"));
    shot(u"connecting"_s);

    profiles.setStatus(VpnStatus::connected);
    ASSERT_TRUE(until([&] {
        return text("powerCaption") == u"Connected"_s && item("rulesetDot_youtube") &&
               item("rulesetDot_youtube")->property("tone").toInt() == int(Tone::green);
    }));
    // The hidden set is not shown; a slow probe pulses.
    const auto dot = [&](const char* set, const char* property) {
        return item(set)->property(property);
    };
    EXPECT_EQ(dot("rulesetDot_code", "tone").toInt(), int(Tone::yellow));
    EXPECT_TRUE(dot("rulesetDot_code", "pulsing").toBool());
    EXPECT_EQ(dot("rulesetDot_streaming", "tooltip").toString(), u"streaming: unknown"_s);
    EXPECT_TRUE(
        dot("rulesetDot_youtube", "tooltip").toString().startsWith(u"youtube: healthy, "_s));
    EXPECT_EQ(item("rulesetDot_ipcheck"), nullptr);
    shot(u"connected"_s);

    profiles.setStatus(VpnStatus::disconnecting);
    ASSERT_TRUE(until([&] { return text("powerCaption") == u"Disconnecting…"_s; }));
    shot(u"disconnecting"_s);

    // A start the system refuses, with a message far longer than the column.
    profiles.setStatus(VpnStatus::disconnected);
    ASSERT_TRUE(until([&] { return text("powerCaption") == u"Tap to connect"_s; }));
    profiles.failNext(
        Call::start,
        PlatformError(u"VPN"_s, 5,
                      u"The tunnel service refused to start the tunnel because "_s.repeated(12)));
    click("powerButton");
    ASSERT_TRUE(until([&] { return shown("errorLabel"); }));
    EXPECT_EQ(text("statusPillLabel"), u"error"_s);
    EXPECT_LT(window->height(), 1200);
    shot(u"error"_s);

    updater_->find({u"1.5.0"_s, u"58"_s, {}});
    ASSERT_TRUE(until([&] { return shown("updateBanner"); }));
    EXPECT_EQ(text("updateVersion"), u"v1.5.0 (58)"_s);
    EXPECT_TRUE(readAloud(u"New version available"_s));
    shot(u"updateBanner"_s);
}

// Offline, no new metadata comes: the remaining time moves with the clock,
// right past each of its thresholds.
TEST_P(ScreensTest, RemainingTimeMovesOffline) {
    if (GetParam() != "light")
        GTEST_SKIP() << "the palette changes nothing here";
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(activate());
    service.route("GET", u"/api/sub/"_s + token, Route::answer(500));
    const QDateTime expiry = controller->metadata()->expiresAt().value();
    constexpr qint64 hour = 3'600'000;
    const struct {
        qint64 beforeExpiry;
        const char* text;
    } rows[] = {{48 * hour, "2 days left"},
                {48 * hour - 1, "1 day left"},
                {5 * hour - 1, "4h left"},
                {-1, "Expired"}};
    for (const auto& row : rows) {
        clock->advance(
            std::chrono::milliseconds(clock->now().msecsTo(expiry.addMSecs(-row.beforeExpiry))));
        settle();
        EXPECT_EQ(text("remainingTime"), QString::fromUtf8(row.text));
    }
}

TEST_P(ScreensTest, SettingsSheetAndSignOut) {
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(activate());
    click("powerButton");
    profiles.setStatus(VpnStatus::connected);
    ASSERT_TRUE(until([&] { return text("powerCaption") == u"Connected"_s; }));

    click("settingsButton");
    ASSERT_TRUE(until([&] { return shown("doneButton"); }));
    EXPECT_EQ(text("rulesetNames"), u"youtube, code, streaming"_s);
    EXPECT_TRUE(item("selectiveChoice")->property("checked").toBool());
    shot(u"settings"_s);

    click("signOutButton");
    ASSERT_TRUE(until([&] { return shown("confirmSignOut"); }));
    shot(u"signOutConfirm"_s);
    click("confirmSignOut");
    ASSERT_TRUE(until([&] { return shown("activationView"); }));
    EXPECT_EQ(text("codeField"), QString());
    EXPECT_FALSE(shown("doneButton"));
}

// A quoted command in a message stays on one line at any width it fits in,
// where the message as written would break inside it.
TEST(QuotedCommand, StaysOnOneLine) {
    const QString message = u"The Halvoran tunnel service is not running. Start it with "
                            u"“halvoran-tunneld --session” and try again."_s;
    const qsizetype begin = message.indexOf(u'“');
    const qsizetype end = message.indexOf(u'”');
    QFont font;
    font.setPixelSize(13);
    const auto breaksInside = [&](const QString& text, qreal width) {
        QTextLayout layout(text, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        bool inside = false;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            inside = inside || (line.textStart() > begin && line.textStart() <= end);
        }
        layout.endLayout();
        return inside;
    };
    const qreal quoteWidth =
        QFontMetrics(font).horizontalAdvance(message.mid(begin, end - begin + 1));
    bool writtenBreaks = false;
    for (qreal width = quoteWidth + 4; width <= 460; width += 3) {
        EXPECT_FALSE(breaksInside(Presentation::unbrokenQuotes(message), width)) << width;
        writtenBreaks = writtenBreaks || breaksInside(message, width);
    }
    EXPECT_TRUE(writtenBreaks);
}

// The whole road with the keyboard alone: every control on it is reached with
// Tab, named for assistive technology, and worked with Space or Return.
TEST_P(ScreensTest, TheWholeRoadWithTheKeyboard) {
    if (GetParam() == "dark")
        GTEST_SKIP() << "the palette changes nothing here";
    ASSERT_NO_FATAL_FAILURE(launch());
    extensions.finish();
    settle();
    answerActivation();
    ASSERT_TRUE(until([&] { return item("codeField")->hasActiveFocus(); }));
    for (const char c : std::string_view("DEMO-2026"))
        QTest::keyClick(window, c);
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_TRUE(until([&] { return shown("statusView") && controller->metadata(); }));

    ASSERT_NO_FATAL_FAILURE(tabTo("powerButton"));
    QTest::keyClick(window, Qt::Key_Space);
    ASSERT_TRUE(until([&] { return profiles.calls().contains(u"start"_s); }));
    profiles.setStatus(VpnStatus::connected);

    ASSERT_NO_FATAL_FAILURE(tabTo("settingsButton"));
    QTest::keyClick(window, Qt::Key_Space);
    ASSERT_TRUE(until([&] { return shown("doneButton"); }));
    ASSERT_NO_FATAL_FAILURE(tabTo("globalChoice"));
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(SharedDefaults::routingMode(), SharedDefaults::RoutingMode::global);
    ASSERT_NO_FATAL_FAILURE(tabTo("copyButton"));
    QTest::keyClick(window, Qt::Key_Space);
    // The report names the edges and the mode just chosen, never the token.
    EXPECT_TRUE(desktop.clipboard.contains(u"routing_mode: global\n"_s));
    EXPECT_TRUE(desktop.clipboard.contains(u"  - edge-ams → ams.example.net (AMS)\n"_s));
    EXPECT_FALSE(desktop.clipboard.contains(token));
    ASSERT_NO_FATAL_FAILURE(tabTo("signOutButton"));
    QTest::keyClick(window, Qt::Key_Space);
    ASSERT_TRUE(until([&] { return shown("confirmSignOut"); }));
    ASSERT_NO_FATAL_FAILURE(tabTo("confirmSignOut"));
    QTest::keyClick(window, Qt::Key_Space);
    ASSERT_TRUE(until([&] { return shown("activationView"); }));
    EXPECT_EQ(controller->state().kind(), Kind::notActivated);
}

INSTANTIATE_TEST_SUITE_P(Palettes, ScreensTest, ::testing::Values("light", "dark"),
                         [](const auto& palette) { return palette.param; });

int main(int argc, char** argv) {
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(u"config"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(u"data"_s)));
    QQuickStyle::setStyle(u"Fusion"_s);
    QGuiApplication app(argc, argv);
    // As when a screen reader runs: the controls then publish their names.
    QAccessible::setActive(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
