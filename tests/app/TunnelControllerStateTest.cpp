#include "shared/rulesets/RulesetCache.h"
#include "shared/tunnel/TunnelContract.h"
#include "tests/app/ControllerFixture.h"

#include <functional>

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

// Failed activations and operations: the message shown, and nothing stored.
struct FailureRow {
    const char* name;
    std::function<void(ControllerFixture&, FakeVpnProfileStore&, FakeExtensionManager&,
                       HttpFixture&)>
        arrange;
    enum Operation { activate, connect } operation;
    QString message;
    QStringList calls; // of the profile store, after launch
};

class Failure : public ControllerFixture, public ::testing::WithParamInterface<FailureRow> {};
using Route = HttpFixture::Route;

TEST_P(Failure, ShowsTheMessageAndStoresNothing) {
    const FailureRow& row = GetParam();
    TunnelController& c = launch();
    row.arrange(*this, profiles, extensions, service);
    if (c.sysext()->status() == Ext::installing)
        extensions.finish();
    settle();
    profiles.clearCalls();
    run(row.operation == FailureRow::activate ? c.activate(u"CODE"_s) : c.connect());
    EXPECT_EQ(c.state(), ConnectionState::error(row.message));
    EXPECT_EQ(profiles.calls(), row.calls);
    if (row.operation == FailureRow::activate) {
        EXPECT_EQ(SharedDefaults::subscriptionURL(), std::nullopt);
        EXPECT_EQ(SharedDefaults::subscriptionToken(), std::nullopt);
    }
}

const PlatformError refused(u"VpnErrorDomain"_s, 5, u"The user declined"_s);
using F = ControllerFixture;
using P = FakeVpnProfileStore;
using X = FakeExtensionManager;
using H = HttpFixture;

INSTANTIATE_TEST_SUITE_P(
    Table, Failure,
    ::testing::Values(
        FailureRow{"ExtensionFailed",
                   [](F&, P&, X& x, H&) { x.fail(-1, PlatformError(u"other"_s, 1, u"Blocked"_s)); },
                   FailureRow::activate,
                   u"Couldn’t enable the VPN system extension: Blocked"_s,
                   {}},
        FailureRow{"CodeRejected",
                   [](F&, P&, X&, H& s) {
                       s.route("POST", u"/api/activate"_s,
                               Route::answer(403, R"({"detail":"code already used"})"));
                   },
                   FailureRow::activate,
                   u"Code already used"_s,
                   {}},
        FailureRow{"NoToken",
                   [](F& f, P&, X&, H&) { f.answerActivation("/api/nothing/tok1"); },
                   FailureRow::activate,
                   u"invalid subscription URL from server"_s,
                   {}},
        FailureRow{"Unparsable",
                   [](F& f, P&, X&, H&) { f.answerActivation("http://a b/sub/tok1"); },
                   FailureRow::activate,
                   u"invalid subscription URL from server"_s,
                   {}},
        FailureRow{
            "SaveRefused",
            [](F& f, P& p, X&, H&) {
                f.answerActivation("/api/sub/tok1");
                p.failNext(P::Call::save, refused);
            },
            FailureRow::activate,
            u"The user declined — VPN profile install failed. Check the Halvoran tunnel service."_s,
            {u"save"_s}},
        FailureRow{
            "ReloadFails",
            [](F& f, P& p, X&, H&) {
                f.answerActivation("/api/sub/tok1");
                p.failNext(P::Call::load, refused);
            },
            FailureRow::activate,
            u"The user declined — VPN profile install failed. Check the Halvoran tunnel service."_s,
            {u"save"_s, u"load"_s}},
        FailureRow{"ConnectWithNothingStored",
                   [](F&, P&, X&, H&) {},
                   FailureRow::connect,
                   u"VPN not configured yet"_s,
                   {}},
        FailureRow{
            "ReinstallRefused",
            [](F& f, P& p, X&, H&) {
                SharedDefaults::setSubscriptionURL(f.subscriptionURL());
                p.failNext(P::Call::save, refused);
            },
            FailureRow::connect,
            u"Couldn't install VPN profile: The user declined. Check the Halvoran tunnel service."_s,
            {u"save"_s}},
        FailureRow{"StartRefused",
                   [](F& f, P& p, X&, H&) {
                       SharedDefaults::setSubscriptionURL(f.subscriptionURL());
                       p.failNext(P::Call::start, refused);
                   },
                   FailureRow::connect,
                   u"The user declined"_s,
                   {u"save"_s, u"load"_s, u"start"_s}}),
    [](const auto& p) { return std::string(p.param.name); });

} // namespace
