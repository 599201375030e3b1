// The app's Linux backends of the VPN profile store and the extension request
// against a real halvoran-tunneld on private buses.
#include "platform/linux/DbusExtensionManager.h"
#include "platform/linux/DbusVpnProfileStore.h"
#include "shared/tunnel/TunnelServiceApi.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QDBusArgument>
#include <QFile>

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace Api = TunnelServiceApi;

namespace {

const QString subscriptionURL = u"https://sub.example.net/s/tok3nSECRETabcdef"_s;

void fill(VpnProfile& profile) {
    profile.setLocalizedDescription(u"VPN"_s);
    profile.setEnabled(true);
    profile.setProtocolConfiguration(TunnelProviderProtocol{
        u"dev.morvel.vpn.sysext"_s, subscriptionURL, {{u"subscription_url"_s, subscriptionURL}}});
}

// What the task threw, if it threw the platform's error.
template <typename T> std::optional<PlatformError> failureOf(QCoro::Task<T>&& task) {
    try {
        Async::run(std::move(task));
    } catch (const PlatformError& error) {
        return error;
    }
    return std::nullopt;
}

class RecordingDelegate final : public ExtensionRequestDelegate {
public:
    QStringList answers;
    ReplacementAction actionForReplacingExtension(const ExtensionRequest&, const ExtensionVersion&,
                                                  const ExtensionVersion&) override {
        return ReplacementAction::replace;
    }
    void requestNeedsUserApproval(const ExtensionRequest& r) override {
        answers << name(r) + u" needsApproval"_s;
    }
    void requestDidFinish(const ExtensionRequest& r, Result) override {
        answers << name(r) + u" finished"_s;
    }
    void requestDidFail(const ExtensionRequest& r, const PlatformError& error) override {
        answers << name(r) + u" failed "_s + QString::number(error.code()) + u' ' +
                       error.localizedDescription();
    }
    // Kept alive, so that no later request takes an earlier one's address.
    QList<std::shared_ptr<ExtensionRequest>> requests;

private:
    QString name(const ExtensionRequest& r) const {
        for (qsizetype i = 0; i < requests.size(); ++i)
            if (requests[i].get() == &r)
                return u'#' + QString::number(i);
        return u"#?"_s;
    }
};

// A call of python3-dbusmock's own interface on its polkit.
QDBusMessage polkitMock(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.PolicyKit1"_s,
                                                       u"/org/freedesktop/PolicyKit1/Authority"_s,
                                                       u"org.freedesktop.DBus.Mock"_s, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 5000);
}

std::shared_ptr<ExtensionRequest> submit(DbusExtensionManager& manager,
                                         RecordingDelegate& delegate) {
    auto request = std::make_shared<ExtensionRequest>(u"dev.morvel.vpn.sysext"_s);
    request->setDelegate(&delegate);
    delegate.requests << request;
    manager.submitRequest(request);
    return request;
}

} // namespace

TEST(DbusVpnProfileStore, ProfilesAndStatusesComeFromTheService) {
    TunneldProcess service;
    ASSERT_TRUE(service.start());
    DbusVpnProfileStore store(TunnelServiceBus::sessionBus(), 3s);
    int announced = 0;
    QObject::connect(&store.statusNotifier(), &VpnStatusNotifier::statusChanged,
                     [&announced] { ++announced; });

    std::shared_ptr<VpnProfile> created = store.createProfile();
    const auto becomes = [&](VpnStatus status) {
        return Async::waitUntil([&] { return created->connection().status() == status; }, 8s);
    };
    EXPECT_EQ(created->connection().status(), VpnStatus::invalid);
    EXPECT_TRUE(failureOf(created->connection().startTunnel()));
    fill(*created);
    Async::run(created->saveToPreferences());
    EXPECT_EQ(created->connection().status(), VpnStatus::disconnected);

    auto loaded = Async::run(store.loadAllFromPreferences());
    ASSERT_EQ(loaded.size(), 1);
    EXPECT_EQ(loaded[0]->localizedDescription(), u"VPN"_s);
    EXPECT_TRUE(loaded[0]->isEnabled());
    EXPECT_EQ(loaded[0]->protocolConfiguration(), created->protocolConfiguration());

    // Both objects of the profile follow the service's announcements.
    Async::run(loaded[0]->connection().startTunnel());
    EXPECT_TRUE(becomes(VpnStatus::connected));
    EXPECT_EQ(loaded[0]->connection().status(), VpnStatus::connected);
    EXPECT_GE(announced, 2);

    // The tunnels end with the service; a new service knows none running.
    service.stop(SIGKILL);
    EXPECT_TRUE(becomes(VpnStatus::disconnected));
    ASSERT_TRUE(service.start());
    Async::run(created->connection().startTunnel());
    EXPECT_TRUE(becomes(VpnStatus::connected));
    Async::run(created->connection().stopTunnel());
    EXPECT_TRUE(becomes(VpnStatus::disconnected));

    Async::run(loaded[0]->removeFromPreferences());
    EXPECT_EQ(created->connection().status(), VpnStatus::invalid);
    const auto gone = failureOf(created->loadFromPreferences());
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->localizedDescription(), u"No such VPN profile."_s);
    EXPECT_TRUE(Async::run(store.loadAllFromPreferences()).isEmpty());
}

TEST(DbusVpnProfileStore, AMissingOrSilentServiceFailsReadablyInTime) {
    struct Case {
        const char* what;
        TunnelServiceBus bus;
        bool frozen;
        int code;
        QString text;
    };
    const Case cases[] = {
        {"no session service", TunnelServiceBus::sessionBus(), false, TunnelServiceBus::unreachable,
         u"The Halvoran tunnel service is not running. Start it with “halvoran-tunneld --session”."_s},
        {"no system service", TunnelServiceBus::system(), false, TunnelServiceBus::unreachable,
         u"The Halvoran tunnel service is not installed or could not be started. Install "
         u"Halvoran’s tunnel service package, or ask your administrator; “systemctl status "
         u"halvoran-tunneld” tells why it did not start."_s},
        {"a frozen service", TunnelServiceBus::sessionBus(), true, TunnelServiceBus::timedOut,
         u"The Halvoran tunnel service did not answer in time."_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TunneldProcess service;
        if (c.frozen) {
            ASSERT_TRUE(service.start());
            ::kill(pid_t(service.pid()), SIGSTOP);
        }
        DbusVpnProfileStore store(c.bus, 300ms);
        const auto failure = failureOf(store.loadAllFromPreferences());
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->localizedDescription(), c.text);

        RecordingDelegate delegate;
        DbusExtensionManager manager(c.bus, {300ms, 300ms});
        submit(manager, delegate);
        EXPECT_TRUE(Async::waitUntil([&] { return !delegate.answers.isEmpty(); }));
        EXPECT_EQ(delegate.answers,
                  QStringList{u"#0 failed "_s + QString::number(c.code) + u' ' + c.text});
        if (c.frozen)
            ::kill(pid_t(service.pid()), SIGCONT);
    }
}

TEST(DbusExtensionManager, ApprovalIsAskedOnceAndOnlyInteractivelyWhenResubmitted) {
    // Session mode: the user's own service has nothing to authorise.
    {
        TunneldProcess service;
        ASSERT_TRUE(service.start());
        RecordingDelegate delegate;
        DbusExtensionManager manager(TunnelServiceBus::sessionBus());
        submit(manager, delegate);
        EXPECT_TRUE(delegate.answers.isEmpty()) << "answered inside submitRequest";
        EXPECT_TRUE(Async::waitUntil([&] { return !delegate.answers.isEmpty(); }));
        EXPECT_EQ(delegate.answers, QStringList{u"#0 finished"_s});
    }

    // System mode: polkit (python3-dbusmock's) first says no.
    setPolkitAllowed({});
    polkitMock(u"ClearCalls"_s);
    TunneldProcess::Options options;
    options.session = false;
    TunneldProcess service(options);
    ASSERT_TRUE(service.start());
    RecordingDelegate delegate;
    DbusExtensionManager manager(TunnelServiceBus::system());
    submit(manager, delegate);
    ASSERT_TRUE(Async::waitUntil([&] { return delegate.answers.size() == 1; }));
    EXPECT_EQ(delegate.answers, QStringList{u"#0 needsApproval"_s});

    // The approval screen's button resubmits: the old request is superseded
    // (not inside the call), and polkit may now ask for a password.
    submit(manager, delegate);
    EXPECT_EQ(delegate.answers.size(), 1);
    ASSERT_TRUE(Async::waitUntil([&] { return delegate.answers.size() == 3; }));
    EXPECT_EQ(delegate.answers[1], u"#0 failed 12 The request was replaced by a newer one."_s);
    EXPECT_EQ(delegate.answers[2], u"#1 needsApproval"_s);
    QList<quint32> flags;
    const auto list = polkitMock(u"GetMethodCalls"_s, {u"CheckAuthorization"_s})
                          .arguments()
                          .value(0)
                          .value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        quint64 time = 0;
        QVariantList arguments;
        list.beginStructure();
        list >> time >> arguments;
        list.endStructure();
        flags << arguments.value(3).toUInt();
    }
    list.endArray();
    EXPECT_EQ(flags, (QList<quint32>{0, 1})) << "only the resubmission may prompt";

    setPolkitAllowed({QString(Api::polkitAction)});
    submit(manager, delegate);
    ASSERT_TRUE(Async::waitUntil([&] { return delegate.answers.size() == 5; }));
    EXPECT_EQ(delegate.answers[4], u"#2 finished"_s);
    // Signing out gives the approval back.
    const QString approved = service.stateDir() + u"/users/%1/approved"_s.arg(::getuid());
    EXPECT_TRUE(QFile::exists(approved));
    Async::run(manager.withdrawApproval());
    EXPECT_FALSE(QFile::exists(approved));
    // An approval stands only while polkit stands by it: once polkit says no
    // outright, a fresh start needs approval again.
    setPolkitAllowed({});
    DbusExtensionManager later(TunnelServiceBus::system());
    submit(later, delegate);
    ASSERT_TRUE(Async::waitUntil([&] { return delegate.answers.size() == 6; }));
    EXPECT_EQ(delegate.answers[5], u"#3 needsApproval"_s);
}
