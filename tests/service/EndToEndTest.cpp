// The whole tunnel on one machine, on private buses: the controller with the
// Linux backends activates against the demo service, installs its profile
// through halvoran-tunneld, connects through halvoran-tunnel running the
// stand-in engine, survives a resume from sleep, disconnects and signs out.
#include "app/core/TunnelController.h"
#include "platform/linux/DbusExtensionManager.h"
#include "platform/linux/DbusVpnProfileStore.h"
#include "shared/api/APIClient.h"
#include "shared/async/Clock.h"
#include "shared/net/NetworkAccess.h"
#include "shared/settings/SharedDefaults.h"
#include "tests/service/TunneldProcess.h"
#include "tests/support/Async.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QMetaEnum>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

namespace {

QString kindName(Kind kind) {
    return QString::fromLatin1(QMetaEnum::fromType<Kind>().valueToKey(int(kind)));
}

// halvoran-demo-service on the port the test library talks to.
class DemoService {
public:
    bool start() {
        m_process.setProgram(QStringLiteral(DEMO_SERVICE));
        // Subscriptions in memory only: nothing of the test outlives it.
        m_process.setArguments({QStringLiteral("--state=")});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        // Up once it says it listens: the port answering is not enough, as
        // another program may hold it.
        QByteArray said;
        const bool listening = Async::waitUntil([&] {
            said += m_process.readAll();
            return said.contains("listening on") || m_process.state() != QProcess::Running;
        });
        if (!listening || m_process.state() != QProcess::Running)
            std::fprintf(stderr, "demo service: %s\n", said.constData());
        return listening && m_process.state() == QProcess::Running;
    }
    ~DemoService() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }

private:
    QProcess m_process;
};

} // namespace

TEST(EndToEnd, ActivateConnectResumeDisconnectSignOut) {
    SharedDefaults::clearAll();
    DemoService demo;
    ASSERT_TRUE(demo.start());

    // The engine on the service's PATH is the stand-in.
    QTemporaryDir bin;
    ASSERT_TRUE(QFile::link(QStringLiteral(STANDIN_ENGINE), bin.filePath(u"sing-box"_s)));
    qputenv("PATH", (bin.path() + u':' + qEnvironmentVariable("PATH")).toUtf8());
    TunneldProcess::Options options;
    options.provider = QStringLiteral(PROVIDER);
    options.arguments = {u"--connect-timeout=20000"_s};
    TunneldProcess service(options);
    ASSERT_TRUE(service.start());

    DbusVpnProfileStore profiles(TunnelServiceBus::sessionBus());
    DbusExtensionManager extensions(TunnelServiceBus::sessionBus());
    APIClient api(Clock::system(), NetworkAccessFactory::standard());
    TunnelController controller(profiles, extensions, api, Clock::system(),
                                NetworkAccessFactory::standard(), {});
    QStringList states;
    QObject::connect(&controller, &TunnelController::stateChanged,
                     [&] { states << kindName(controller.state().kind()); });
    const auto reaches = [&](Kind kind, std::chrono::milliseconds limit = 10s) {
        return Async::waitUntil([&] { return controller.state().kind() == kind; }, limit);
    };
    ASSERT_TRUE(Async::waitUntil([&] {
        return controller.sysext()->status().kind() ==
               SystemExtensionInstaller::Status::Kind::installed;
    }));
    EXPECT_EQ(controller.state().kind(), Kind::notActivated);

    // The controller hears of the installed extension on a later turn of the
    // event loop; until then the code is parked and runs on its own after.
    Async::run(controller.activate(u"DEMO-2026"_s), 20s);
    ASSERT_TRUE(reaches(Kind::idle, 20s)) << controller.state().message().toStdString();
    EXPECT_EQ(loadAllProfiles(service.bus()).size(), 1);

    QElapsedTimer connecting;
    connecting.start();
    Async::run(controller.connect(), 20s);
    ASSERT_TRUE(reaches(Kind::connected, 20s)) << service.log().toStdString();
    // Printed for the README's figures: start request to "connected".
    std::printf("start to connected: %lld ms\n", connecting.elapsed());

    // logind announces a resume: the tunnel is re-established on its own.
    states.clear();
    ASSERT_TRUE(sleepAndResume());
    ASSERT_TRUE(Async::waitUntil([&] { return states.size() >= 2; }, 20s));
    ASSERT_TRUE(reaches(Kind::connected, 20s));
    EXPECT_EQ(states, (QStringList{u"connecting"_s, u"connected"_s}));
    EXPECT_TRUE(service.waitForLog(u"status reasserting"_s));

    Async::run(controller.disconnect(), 10s);
    ASSERT_TRUE(reaches(Kind::idle));

    Async::run(controller.signOut(), 10s);
    EXPECT_TRUE(reaches(Kind::notActivated));
    EXPECT_TRUE(loadAllProfiles(service.bus()).isEmpty());
    EXPECT_FALSE(SharedDefaults::subscriptionToken());
    SharedDefaults::clearAll();
}
