#include "shared/async/Detached.h"
#include "shared/rulesets/RulesetCache.h"
#include "shared/tunnel/TunnelContract.h"
#include "tests/app/ControllerFixture.h"

using namespace Qt::StringLiterals;

namespace {

using Kind = ConnectionState::Kind;
using Ext = SystemExtensionInstaller::Status::Kind;

TEST(ConnectionState, Predicates) {
    const QList<Kind> activated{Kind::idle, Kind::connecting, Kind::connected, Kind::disconnecting,
                                Kind::error};
    const QList<Kind> active{Kind::connecting, Kind::connected, Kind::disconnecting};
    for (int k = 0; k <= int(Kind::error); ++k) {
        const ConnectionState state(static_cast<Kind>(k));
        EXPECT_EQ(state.isActivated(), activated.contains(state.kind())) << k;
        EXPECT_EQ(state.isTunnelActive(), active.contains(state.kind())) << k;
    }
    EXPECT_EQ(ConnectionState::error(u"a"_s), ConnectionState::error(u"a"_s));
    EXPECT_NE(ConnectionState::error(u"a"_s), ConnectionState::error(u"b"_s));
}

// The tunnel process finds the files by the contract's names.
TEST(TunnelContract, NamesTheLibrarysFiles) {
    EXPECT_TRUE(
        SharedDefaults::lastConfigURL()->endsWith(u'/' + TunnelContract::lastConfigFileName));
    EXPECT_TRUE(
        RulesetCache::rulesetsDirectory()->endsWith(u'/' + TunnelContract::rulesetsDirectoryName));
}

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

INSTANTIATE_TEST_SUITE_P(
    Table, Recompute,
    ::testing::Values(
        RecomputeRow{"ConnectedTunnelOutranksApproval", Ext::needsApproval, true,
                     VpnStatus::connected, false, Kind::connected},
        RecomputeRow{"ApprovalWhileDown", Ext::needsApproval, true, VpnStatus::disconnected, false,
                     Kind::needsExtensionApproval},
        RecomputeRow{"ApprovalBeforeToken",
                     Ext::needsApproval,
                     false,
                     {},
                     false,
                     Kind::needsExtensionApproval},
        RecomputeRow{"NoTokenBeatsTheHold", Ext::installing, false, {}, true, Kind::notActivated},
        RecomputeRow{"HoldWhileParked", Ext::installing, true, {}, true, Kind::activating},
        RecomputeRow{"HoldWhileExchanging", Ext::installed, true, VpnStatus::disconnected, true,
                     Kind::activating},
        RecomputeRow{"NoHoldOnceTheTunnelMoves", Ext::installed, true, VpnStatus::connected, true,
                     Kind::connected},
        RecomputeRow{"NoProfile", Ext::installed, true, {}, false, Kind::idle},
        RecomputeRow{"Invalid", Ext::installed, true, VpnStatus::invalid, false, Kind::idle},
        RecomputeRow{"Connecting", Ext::installed, true, VpnStatus::connecting, false,
                     Kind::connecting},
        RecomputeRow{"Reasserting", Ext::installed, true, VpnStatus::reasserting, false,
                     Kind::connecting},
        RecomputeRow{"Disconnecting", Ext::installing, true, VpnStatus::disconnecting, false,
                     Kind::disconnecting},
        RecomputeRow{"NoToken", Ext::installed, false, VpnStatus::connected, false,
                     Kind::notActivated}),
    [](const auto& p) { return std::string(p.param.name); });

// Failed activations and operations: the message shown where the user can act
// on it, and nothing stored. A device without a subscription stays on the
// activation screen with the failure as its notice; connecting it does nothing.
struct FailureRow {
    const char* name;
    enum Setup { none, extensionFails, codeRejected, answered, tokenStored, urlStored } setup;
    QByteArray answer; // the subscription URL the service hands out
    std::optional<FakeVpnProfileStore::Call> failing;
    QString message;
    QStringList calls; // of the profile store, after launch
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
    EXPECT_EQ(profiles.calls(), row.calls);
}

using C = FakeVpnProfileStore::Call;
using R = FailureRow;
const QString installFailed =
    u"The user declined — VPN profile install failed. Check the Halvoran tunnel service."_s;

INSTANTIATE_TEST_SUITE_P(
    Table, Failure,
    ::testing::Values(
        R{"ExtensionFailed",
          R::extensionFails,
          {},
          {},
          u"Couldn’t enable the VPN system extension: Blocked"_s,
          {}},
        R{"CodeRejected", R::codeRejected, {}, {}, u"Code already used"_s, {}},
        R{"NoToken",
          R::answered,
          "/api/nothing/tok1",
          {},
          u"invalid subscription URL from server"_s,
          {}},
        R{"Unparsable",
          R::answered,
          "http://a b/sub/tok1",
          {},
          u"invalid subscription URL from server"_s,
          {}},
        // The URL carries the token: never in clear text, nor elsewhere than HTTPS.
        R{"PlainHttp",
          R::answered,
          "http://127.0.0.1:47832/api/sub/tok1",
          {},
          u"invalid subscription URL from server"_s,
          {}},
        R{"OtherScheme",
          R::answered,
          "ftp://127.0.0.1/sub/tok1",
          {},
          u"invalid subscription URL from server"_s,
          {}},
        R{"SaveRefused", R::answered, "/api/sub/tok1", C::save, installFailed, {u"save"_s}},
        // Saved but not reloaded: the saved profile carries the token, and goes.
        R{"ReloadFails",
          R::answered,
          "/api/sub/tok1",
          C::load,
          installFailed,
          {u"save"_s, u"load"_s, u"remove"_s}},
        R{"ConnectWithNothingStored", R::none, {}, {}, {}, {}},
        R{"ConnectWithOnlyAToken", R::tokenStored, {}, {}, u"VPN not configured yet"_s, {}},
        R{"ReinstallRefused",
          R::urlStored,
          {},
          C::save,
          u"Couldn't install VPN profile: The user declined. Check the Halvoran tunnel service."_s,
          {u"save"_s}},
        R{"StartRefused",
          R::urlStored,
          {},
          C::start,
          u"The user declined"_s,
          {u"save"_s, u"load"_s, u"start"_s}}),
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

INSTANTIATE_TEST_SUITE_P(
    Table, DetachedTask,
    ::testing::Values(
        DetachedRow{"Ends", {}, false, {}, 1},
        DetachedRow{"ContextGone", {}, true, {}, 0},
        DetachedRow{"Throws", [] { throw std::runtime_error("boom"); }, false,
                    {u"error: task failed: boom"_s}, 0},
        DetachedRow{"ThrowsThePlatformsError",
                    [] { throw PlatformError(u"VpnErrorDomain"_s, 1, u"busy\nline"_s); }, true,
                    {u"error: task failed: busy\\x0aline"_s}, 0},
        DetachedRow{"ThrowsSomethingElse", [] { throw 42; }, false,
                    {u"error: task failed: unknown error"_s}, 0}),
    [](const auto& p) { return std::string(p.param.name); });

} // namespace
