#include "tests/app/ControllerFixture.h"

#include "shared/tunnel/TunnelContract.h"

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using Scenario = ControllerFixture;
using Kind = ConnectionState::Kind;
const PlatformError failure(u"VpnErrorDomain"_s, 1, u"busy"_s);

TEST_F(Scenario, FirstLaunchAndAnExtensionFailureNobodyWaitsFor) {
    TunnelController& c = launch();
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
    EXPECT_EQ(extensions.count(), 1);
    EXPECT_EQ(profiles.calls(), QStringList{u"loadAll"_s});
    extensions.fail(-1, PlatformError(u"other"_s, 1, u"Blocked"_s));
    settle();
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
    EXPECT_TRUE(service.requests().isEmpty());
}

TEST_F(Scenario, LaunchAlreadyConnectedStartsTheMonitorWithoutTheNetwork) {
    storeSubscription();
    profiles.addSavedProfile(savedProfile(), VpnStatus::connected);
    TunnelController& c = launch();
    EXPECT_EQ(c.state(), ConnectionState(Kind::connected));
    EXPECT_TRUE(log.lines(u"health"_s).contains(u"start(youtube)"_s));
    EXPECT_TRUE(service.requests().isEmpty()); // the stored metadata is fresh
}

TEST_F(Scenario, ActivationWithTheExtensionReady) {
    TunnelController& c = launch();
    extensions.finish();
    settle();
    // Relative answers are joined to the service address with one slash; an
    // absolute one is taken as it is, over HTTPS only.
    const QString elsewhere = u"https://127.0.0.1:1/api/sub/tok1"_s;
    for (const auto& [url, stored] : {std::pair{"api/sub/tok1"_ba, subscriptionURL()},
                                      std::pair{elsewhere.toUtf8(), elsewhere},
                                      std::pair{"//api/sub/tok1"_ba, subscriptionURL()}}) {
        answerActivation(url);
        run(c.activate(u"CODE"_s));
        EXPECT_EQ(SharedDefaults::subscriptionURL(), stored) << url.constData();
    }
    EXPECT_EQ(c.state(), ConnectionState(Kind::idle));
    EXPECT_EQ(SharedDefaults::subscriptionToken(), token);
    EXPECT_EQ(profiles.savedProfiles(), QList{savedProfile()});
    EXPECT_EQ(profiles.calls().count(u"save"_s), 3);
    EXPECT_EQ(c.preferredEdgeTag(), u"nl-ams-1"_s);
    EXPECT_EQ(SharedDefaults::preferredEdgeTag(), u"nl-ams-1"_s);
    EXPECT_EQ(SharedDefaults::loadMetadata(), c.metadata());
    EXPECT_EQ(c.metadata().value().rulesetNames(), (QStringList{u"youtube"_s, u"ipcheck"_s}));
    // The activations, downloads and rule-sets all went through the program's factory.
    EXPECT_TRUE(allMarked(service));
}

TEST_F(Scenario, ActivationParkedBehindApprovalRunsOnceApproved) {
    answerActivation("/api/sub/tok1");
    TunnelController& c = launch();
    extensions.needApproval();
    settle();
    run(c.activate(u"OLD-CODE"_s));
    run(c.activate(u"CODE"_s)); // a parked code is replaced
    EXPECT_EQ(c.state(), ConnectionState(Kind::needsExtensionApproval));
    EXPECT_EQ(extensions.count(), 3);
    extensions.finish();
    EXPECT_TRUE(until([&] { return c.state() == ConnectionState(Kind::idle); }));
    EXPECT_EQ(service.count("POST", u"/api/activate"_s), 1);
    for (const HttpFixture::Request& request : service.requests()) {
        if (request.method == "POST") {
            EXPECT_TRUE(request.body.contains("\"CODE\"")) << request.body.constData();
        }
    }
}

TEST_F(Scenario, ExtensionFailureEndsAParkedActivation) {
    TunnelController& c = launch();
    run(c.activate(u"CODE"_s));
    EXPECT_EQ(c.state(), ConnectionState(Kind::activating));
    extensions.fail(-1, PlatformError(u"other"_s, 1, u"Blocked"_s));
    settle();
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
    EXPECT_EQ(c.activationNotice(), u"Couldn’t enable the VPN system extension: Blocked"_s);
    EXPECT_TRUE(service.requests().isEmpty());
}

TEST_F(Scenario, GoneDuringAPollSignsOutWithTheNotice) {
    storeSubscription();
    profiles.addSavedProfile(savedProfile(), VpnStatus::connected);
    TunnelController& c = launch();
    service.route("GET", subscriptionPath(), Route::answer(410));
    clock->advance(30s);
    ASSERT_TRUE(until([&] { return c.activationNotice().has_value(); }));
    EXPECT_EQ(
        c.activationNotice(),
        u"Your subscription has expired. Enter a new activation code to keep using the VPN."_s);
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
    EXPECT_EQ(profiles.calls(), (QStringList{u"loadAll"_s, u"stop"_s, u"remove"_s}));
    EXPECT_EQ(SharedDefaults::subscriptionToken(), std::nullopt);
    EXPECT_EQ(SharedDefaults::loadMetadata(), std::nullopt);
    EXPECT_EQ(
        log.lines(u"tunnel"_s),
        QStringList{
            u"error: subscription gone (Request failed (HTTP 410)) — routing to activation"_s});
}

TEST_F(Scenario, ServerErrorDuringAPollIsOnlyLogged) {
    storeSubscription();
    TunnelController& c = launch();
    const auto before = c.metadata();
    service.route("GET", subscriptionPath(), Route::answer(500));
    clock->advance(30s);
    ASSERT_TRUE(until([&] { return !log.lines(u"tunnel"_s).isEmpty(); }));
    EXPECT_EQ(log.lines(u"tunnel"_s),
              QStringList{u"error: metadata refresh failed: Request failed (HTTP 500)"_s});
    EXPECT_EQ(c.metadata(), before);
    EXPECT_EQ(c.state(), ConnectionState(Kind::idle));
}

TEST_F(Scenario, ReloadWhileIdleLeavesTheTunnelAlone) {
    storeSubscription();
    profiles.addSavedProfile(savedProfile());
    TunnelController& c = launch();
    const qsizetype before = service.count("GET", u"/rulesets/youtube.srs"_s);
    run(c.reloadRulesets());
    EXPECT_GT(service.count("GET", u"/rulesets/youtube.srs"_s), before);
    EXPECT_EQ(profiles.calls(), QStringList{u"loadAll"_s});
}

TEST_F(Scenario, ReloadWhileConnectedStopsPausesAndStarts) {
    storeSubscription();
    profiles.addSavedProfile(savedProfile(), VpnStatus::connected);
    TunnelController& c = launch();
    profiles.clearCalls();
    QCoro::Task<void> reload = c.reloadRulesets();
    ASSERT_TRUE(until([&] { return !profiles.calls().isEmpty(); }));
    clock->advance(499ms);
    settle();
    EXPECT_EQ(profiles.calls(), QStringList{u"stop"_s});
    clock->advance(1ms);
    run(std::move(reload));
    EXPECT_EQ(profiles.calls(), (QStringList{u"stop"_s, u"start"_s}));
    // The health probes too, and the downloads.
    EXPECT_TRUE(until([&] { return service.count("HEAD", u"/probe"_s) > 0; }));
    EXPECT_TRUE(allMarked(service));
}

TEST_F(Scenario, SignOutWhileConnectedStopsBeforeClearing) {
    storeSubscription();
    profiles.addSavedProfile(savedProfile(), VpnStatus::connected);
    TunnelController& c = launch();
    profiles.hold(Call::stop);
    profiles.failNext(Call::remove, failure);
    QCoro::Task<void> signingOut = c.signOut();
    EXPECT_EQ(profiles.waiting(Call::stop), 1);
    EXPECT_EQ(SharedDefaults::subscriptionToken(), token);
    profiles.release(Call::stop);
    run(std::move(signingOut));
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
    EXPECT_EQ(c.activationNotice(), std::nullopt);
    EXPECT_EQ(c.metadata(), std::nullopt);
    EXPECT_EQ(SharedDefaults::subscriptionToken(), std::nullopt);
    EXPECT_EQ(log.lines(u"tunnel"_s), QStringList{u"error: removeFromPreferences failed: busy"_s});
    // The approval goes too: the next activation asks for it again.
    EXPECT_EQ(extensions.withdrawals(), 1);
    EXPECT_EQ(c.sysext()->status(), SystemExtensionInstaller::Status());
    const qsizetype submitted = extensions.count();
    run(c.activate(u"CODE-2"_s));
    EXPECT_EQ(extensions.count(), submitted + 1);
}

TEST_F(Scenario, ConnectAfterAFailedProfileLoadReinstallsThenStarts) {
    storeSubscription();
    profiles.failNext(Call::loadAll, failure);
    TunnelController& c = launch();
    run(c.connect());
    EXPECT_EQ(log.lines(u"tunnel"_s),
              (QStringList{u"error: loadAllFromPreferences failed: busy"_s,
                           u"no VPN manager loaded; attempting to re-install configuration"_s}));
    EXPECT_EQ(profiles.calls(), (QStringList{u"loadAll"_s, u"save"_s, u"load"_s, u"start"_s}));
    EXPECT_EQ(c.state(), ConnectionState(Kind::idle)); // until the system reports progress
}

// Profiles left behind by a crash: the one that is up is the one held, else
// the first; an activation leaves only that one, updated.
class SeveralProfiles : public ControllerFixture,
                        public ::testing::WithParamInterface<VpnStatus> {};

TEST_P(SeveralProfiles, TheOneUpIsHeldAndTheOthersGo) {
    const VpnStatus second = GetParam();
    FakeVpnProfileStore::Saved old = savedProfile();
    old.protocol->providerConfiguration[u"subscription_url"_s] = u"https://x/sub/old"_s;
    storeSubscription();
    profiles.addSavedProfile(old);
    profiles.addSavedProfile(old, second);
    TunnelController& c = launch();
    const Kind shown = second == VpnStatus::connected ? Kind::connected : Kind::idle;
    EXPECT_EQ(c.state(), ConnectionState(shown));
    extensions.finish();
    settle();
    answerActivation("/api/sub/tok1");
    run(c.activate(u"CODE"_s));
    EXPECT_EQ(profiles.savedProfiles(), QList{savedProfile()});
    EXPECT_EQ(profiles.status(), second);
    EXPECT_EQ(c.state(), ConnectionState(shown));
}

INSTANTIATE_TEST_SUITE_P(SecondProfile, SeveralProfiles,
                         ::testing::Values(VpnStatus::connected, VpnStatus::disconnected));

// A routing change stores the mode at once and restarts a running tunnel
// after the pause; a sign-out during the pause ends the restart quietly, also
// when the device is activated again before the pause is over.
struct PauseRow {
    bool signOut;
    bool activateAgain;
    bool started;
    Kind shown;
};
class RoutingChange : public ControllerFixture, public ::testing::WithParamInterface<PauseRow> {};

TEST_P(RoutingChange, RestartsOnlyTheSubscriptionItStopped) {
    const PauseRow& row = GetParam();
    storeSubscription();
    profiles.addSavedProfile(savedProfile(), VpnStatus::connected);
    TunnelController& c = launch();
    extensions.finish();
    settle();
    profiles.clearCalls();
    QCoro::Task<void> change = c.setRoutingMode(SharedDefaults::RoutingMode::global);
    EXPECT_EQ(SharedDefaults::routingMode(), SharedDefaults::RoutingMode::global);
    ASSERT_TRUE(until([&] { return profiles.calls() == QStringList{u"stop"_s}; }));
    profiles.setStatus(VpnStatus::disconnected);
    if (row.signOut)
        run(c.signOut());
    if (row.activateAgain) {
        answerActivation("/api/sub/tok1");
        run(c.activate(u"CODE"_s));
    }
    clock->advance(TunnelContract::restartPause);
    run(std::move(change));
    EXPECT_EQ(profiles.calls().contains(u"start"_s), row.started);
    EXPECT_EQ(c.state(), ConnectionState(row.shown));
}

// Nothing, a sign-out, a sign-out and a new activation during the pause.
INSTANTIATE_TEST_SUITE_P(DuringThePause, RoutingChange,
                         ::testing::Values(PauseRow{false, false, true, Kind::idle},
                                           PauseRow{true, false, false, Kind::notActivated},
                                           PauseRow{true, true, false, Kind::idle}));

// Late results must not undo newer state.

TEST_F(Scenario, AnswersForASignedOutSubscriptionAreDropped) {
    for (const int status : {200, 410}) {
        storeSubscription();
        TunnelController& c = launch();
        extensions.finish();
        service.route("GET", subscriptionPath(), Route::answer(status, config, 300));
        QCoro::Task<void> late = c.refreshMetadata(true);
        run(c.signOut());
        // Another subscription, with another edge, is stored meanwhile.
        answerActivation("/api/sub/tok2");
        service.route("GET", u"/api/sub/tok2"_s,
                      Route::answer(200, QByteArray(config).replace("nl-ams-1", "de-fra-1")));
        run(c.activate(u"CODE"_s));
        run(std::move(late));
        EXPECT_EQ(c.state(), ConnectionState(Kind::idle)) << status;
        EXPECT_TRUE(SharedDefaults::subscriptionURL().value_or(QString()).endsWith(u"/tok2"_s));
        EXPECT_EQ(SharedDefaults::loadMetadata().value().edges().value(0).tag, u"de-fra-1"_s);
        EXPECT_EQ(c.metadata().value().edges().value(0).tag, u"de-fra-1"_s);
    }
}

// Return pressed again and again: the code is spent by its first exchange.
TEST_F(Scenario, OneActivationAtATime) {
    TunnelController& c = launch();
    extensions.finish();
    settle();
    answerActivation("/api/sub/tok1", 300);
    QCoro::Task<void> first = c.activate(u"A"_s);
    ASSERT_TRUE(until([&] { return service.count("POST", u"/api/activate"_s) == 1; }));
    service.route("POST", u"/api/activate"_s,
                  Route::answer(403, R"({"detail":"code already used"})"));
    for (int i = 0; i < 5; ++i) {
        run(c.activate(u"A"_s));
        EXPECT_EQ(c.state(), ConnectionState(Kind::activating));
    }
    run(std::move(first));
    settle();
    EXPECT_EQ(service.count("POST", u"/api/activate"_s), 1);
    EXPECT_EQ(c.state(), ConnectionState(Kind::idle));
    EXPECT_EQ(SharedDefaults::subscriptionToken(), token);
    EXPECT_EQ(profiles.savedProfiles(), QList{savedProfile()});
}

TEST_F(Scenario, AFailedSaveIsRetriedNotSkipped) {
    FakeVpnProfileStore::Saved old = savedProfile();
    old.protocol->providerConfiguration[u"subscription_url"_s] = u"https://x/sub/old"_s;
    profiles.addSavedProfile(old);
    answerActivation("/api/sub/tok1");
    TunnelController& c = launch();
    extensions.finish();
    settle();
    profiles.failNext(Call::save, failure);
    run(c.activate(u"CODE"_s));
    run(c.activate(u"CODE"_s));
    EXPECT_EQ(profiles.calls().count(u"save"_s), 2);
    EXPECT_EQ(profiles.savedProfiles(), QList{savedProfile()});
}

TEST_F(Scenario, ReinstallThatResumesAfterSignOutRemovesItsProfile) {
    storeSubscription();
    TunnelController& c = launch();
    profiles.hold(Call::save);
    QCoro::Task<void> connecting = c.connect();
    run(c.signOut());
    profiles.release(Call::save);
    run(std::move(connecting));
    EXPECT_TRUE(profiles.savedProfiles().isEmpty());
    EXPECT_FALSE(profiles.calls().contains(u"start"_s));
    EXPECT_EQ(c.state(), ConnectionState(Kind::notActivated));
}

} // namespace
