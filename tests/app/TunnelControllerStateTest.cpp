#include "shared/async/Detached.h"
#include "tests/app/ControllerFixture.h"

using namespace Qt::StringLiterals;

namespace {

using Kind = ConnectionState::Kind;
using Ext = SystemExtensionInstaller::Status::Kind;

struct RecomputeRow {
    const char* name;
    Ext extension; // installing, needsApproval or installed
    bool token;
    std::optional<VpnStatus> tunnel; // absent: no profile
    bool activating;
    Kind expected;
};

class Recompute : public ControllerFixture, public ::testing::WithParamInterface<RecomputeRow> {};

TEST_P(Recompute, DerivesTheState) {
    const RecomputeRow& row = GetParam();
    if (row.token)
        SharedDefaults::setSubscriptionToken(token);
    if (row.tunnel)
        profiles.addSavedProfile(savedProfile(), *row.tunnel);
    // The activation stays in flight while the row is checked.
    service.route("POST", u"/api/activate"_s, Route::hang());
    TunnelController& c = launch();
    if (row.extension == Ext::needsApproval)
        extensions.needApproval();
    if (row.extension == Ext::installed)
        extensions.finish();
    settle();
    if (row.activating)
        c.activate(u"CODE"_s);
    c.recomputeState();
    EXPECT_EQ(c.state(), ConnectionState(row.expected));
}

using V = VpnStatus;
using K = Kind;
using Row = RecomputeRow;

INSTANTIATE_TEST_SUITE_P(
    Table, Recompute,
    ::testing::Values(
        Row{"ConnectedTunnelOutranksApproval", Ext::needsApproval, true, V::connected, false,
            K::connected},
        Row{"ApprovalBeforeToken", Ext::needsApproval, false, {}, false, K::needsExtensionApproval},
        Row{"NoTokenBeatsTheHold", Ext::installing, false, {}, true, K::notActivated},
        Row{"HoldWhileParked", Ext::installing, true, {}, true, K::activating},
        Row{"HoldWhileExchanging", Ext::installed, true, V::disconnected, true, K::activating},
        Row{"NoHoldOnceTheTunnelMoves", Ext::installed, true, V::connected, true, K::connected},
        Row{"NoProfile", Ext::installed, true, {}, false, K::idle},
        Row{"Reasserting", Ext::installed, true, V::reasserting, false, K::connecting},
        Row{"Disconnecting", Ext::installing, true, V::disconnecting, false, K::disconnecting},
        Row{"NoToken", Ext::installed, false, V::connected, false, K::notActivated}),
    [](const auto& p) { return std::string(p.param.name); });

// The window is built from the state the controller has when it is made,
// before the profiles are loaded: an activated device starts on the status
// screen, not on the activation screen it would then leave.
class FirstState : public ControllerFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(FirstState, IsTheStoredOneBeforeTheEventLoopTurns) {
    if (GetParam())
        SharedDefaults::setSubscriptionToken(token);
    controller = std::make_unique<TunnelController>(profiles, extensions, api, clock, network);
    EXPECT_EQ(controller->state(), ConnectionState(GetParam() ? Kind::idle : Kind::notActivated));
}

INSTANTIATE_TEST_SUITE_P(Table, FirstState, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "Activated" : "NotActivated"; });

// Failed activations and operations: the message shown where the user can act
// on it, and nothing stored. A device without a subscription stays on the
// activation screen with the failure as its notice; connecting it does nothing.
struct FailureRow {
    const char* name;
    enum Setup { none, extensionFails, codeRejected, answered, tokenStored, urlStored } setup;
    QByteArray answer; // the subscription URL the service hands out
    std::optional<FakeVpnProfileStore::Call> failing;
    QString message;
    const char* calls; // of the profile store, after launch, space-separated
};

class Failure : public ControllerFixture, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(Failure, ShowsTheMessageAndStoresNothing) {
    const FailureRow& row = GetParam();
    TunnelController& c = launch();
    if (row.setup == FailureRow::extensionFails)
        extensions.fail(-1, PlatformError(u"other"_s, 1, u"Blocked"_s));
    else
        extensions.finish();
    if (row.setup == FailureRow::codeRejected)
        service.route("POST", u"/api/activate"_s,
                      Route::answer(403, R"({"detail":"code already used"})"));
    if (row.setup == FailureRow::answered)
        answerActivation(row.answer);
    if (row.setup == FailureRow::tokenStored || row.setup == FailureRow::urlStored)
        SharedDefaults::setSubscriptionToken(token);
    if (row.setup == FailureRow::urlStored)
        SharedDefaults::setSubscriptionURL(subscriptionURL());
    if (row.failing)
        profiles.failNext(*row.failing, {u"VpnErrorDomain"_s, 5, u"The user declined"_s});
    settle();
    profiles.clearCalls();
    const bool activation = row.setup == FailureRow::extensionFails ||
                            row.setup == FailureRow::codeRejected ||
                            row.setup == FailureRow::answered;
    run(activation ? c.activate(u"CODE"_s) : c.connect());
    if (activation || row.message.isEmpty()) {
        settle(); // what the profile calls announced changes none of it
        EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
        EXPECT_EQ(c.activationNotice().value_or(QString()), row.message);
        EXPECT_EQ(SharedDefaults::subscriptionToken(), std::nullopt);
        EXPECT_TRUE(profiles.savedProfiles().isEmpty());
    } else {
        EXPECT_EQ(c.state(), ConnectionState::error(row.message));
    }
    EXPECT_EQ(profiles.calls(), QString::fromLatin1(row.calls).split(u' ', Qt::SkipEmptyParts));
}

using C = FakeVpnProfileStore::Call;
using R = FailureRow;
const QString installFailed =
    u"The user declined — VPN profile install failed. Check the Halvoran tunnel service."_s;
const QString invalidURL = u"invalid subscription URL from server"_s;
const QString noExtension = u"Couldn’t enable the VPN system extension: Blocked"_s;
const QString declined = u"The user declined"_s;
const QByteArray issued = "/api/sub/tok1";
const QString reinstallFailed =
    u"Couldn't install VPN profile: The user declined. Check the Halvoran tunnel service."_s;

INSTANTIATE_TEST_SUITE_P(
    Table, Failure,
    ::testing::Values(
        R{"ExtensionFailed", R::extensionFails, {}, {}, noExtension, {}},
        R{"CodeRejected", R::codeRejected, {}, {}, u"Code already used"_s, {}},
        R{"NoToken", R::answered, "/api/nothing/tok1", {}, invalidURL, {}},
        // The URL carries the token: never in clear text, nor elsewhere than HTTPS.
        R{"PlainHttp", R::answered, "http://127.0.0.1:47832/api/sub/tok1", {}, invalidURL, {}},
        R{"SaveRefused", R::answered, issued, C::save, installFailed, "save"},
        // Saved but not reloaded: the saved profile carries the token, and goes.
        R{"ReloadFails", R::answered, issued, C::load, installFailed, "save load remove"},
        R{"ConnectWithNothingStored", R::none, {}, {}, {}, {}},
        R{"ConnectWithOnlyAToken", R::tokenStored, {}, {}, u"VPN not configured yet"_s, {}},
        R{"ReinstallRefused", R::urlStored, {}, C::save, reinstallFailed, "save"},
        R{"StartRefused", R::urlStored, {}, C::start, declined, "save load start"}),
    [](const auto& p) { return std::string(p.param.name); });

// Work nobody awaits: what it throws is logged, and its follow-up runs only
// while its context lives.
struct DetachedRow {
    const char* name;
    std::function<void()> thrower; // empty: the task ends normally
    bool contextGone;
    QStringList lines;
    int followUps;
};

class DetachedTask : public ::testing::TestWithParam<DetachedRow> {};

QCoro::Task<int> afterATurn(std::function<void()> thrower) {
    const auto clock = std::make_shared<ManualClock>();
    QCoro::Task<void> turn = clock->sleep(std::chrono::milliseconds(0));
    co_await turn;
    if (thrower)
        thrower();
    co_return 7;
}

TEST_P(DetachedTask, LogsWhatEscapesAndFollowsOnlyALiveContext) {
    const DetachedRow& row = GetParam();
    LogCapture log;
    auto context = std::make_unique<QObject>();
    int followUps = 0;
    Detached::start(afterATurn(row.thrower), context.get(), Log::tunnel,
                    [&](int value) { followUps += value == 7; });
    if (row.contextGone)
        context.reset();
    Async::waitUntil([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(log.lines(u"tunnel"_s), row.lines);
    EXPECT_EQ(followUps, row.followUps);
}

INSTANTIATE_TEST_SUITE_P(Table, DetachedTask,
                         ::testing::Values(DetachedRow{"Ends", {}, false, {}, 1},
                                           DetachedRow{"ContextGone", {}, true, {}, 0},
                                           DetachedRow{"Throws",
                                                       [] { throw std::runtime_error("boom"); },
                                                       false,
                                                       {u"error: task failed: boom"_s},
                                                       0},
                                           DetachedRow{"ThrowsThePlatformsError",
                                                       [] {
                                                           throw PlatformError(u"VpnErrorDomain"_s,
                                                                               1, u"busy\nline"_s);
                                                       },
                                                       true,
                                                       {u"error: task failed: busy\\x0aline"_s},
                                                       0},
                                           DetachedRow{"ThrowsSomethingElse",
                                                       [] { throw 42; },
                                                       false,
                                                       {u"error: task failed: unknown error"_s},
                                                       0}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
