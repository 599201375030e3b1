// Figures of the app core: how cheap a state derivation is, how soon a launch
// on a connected machine shows "connected", and how rule-set downloads before
// a connect scale over HTTP/2 with TLS, as the service speaks it.
#include "app/core/TunnelController.h"
#include "platform/LogSink.h"
#include "platform/fake/FakeExtensionRequest.h"
#include "platform/fake/FakeVpnProfile.h"
#include "shared/api/APIClient.h"
#include "shared/async/Clock.h"
#include "shared/log/Log.h"
#include "shared/net/HttpSession.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SharedDefaults.h"
#include "shared/net/NetworkAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// An activated device with the tunnel up: a stored subscription whose
// metadata is fresh (so start-up needs no download) and a connected profile.
struct ConnectedDevice {
    ConnectedDevice(QStringList rulesets) {
        const QString url = Constants::apiBaseURL().toString() + u"/api/sub/tok1";
        SharedDefaults::setSubscriptionURL(url);
        SharedDefaults::setSubscriptionToken(u"tok1"_s);
        SharedDefaults::saveMetadata(SubscriptionMetadata({{u"nl-ams-1"_s, {}, {}}}, rulesets, {},
                                                          QDateTime::currentDateTimeUtc()));
        profiles.addSavedProfile({u"VPN"_s, true,
                                  TunnelProviderProtocol{u"dev.morvel.vpn.sysext"_s, url,
                                                         {{u"subscription_url"_s, url}}}},
                                 VpnStatus::connected);
    }
    std::unique_ptr<TunnelController> controller() {
        return std::make_unique<TunnelController>(profiles, extensions, api, Clock::system(),
                                                  NetworkAccessFactory::standard(),
                                                  QHash<QString, QUrl>());
    }
    FakeVpnProfileStore profiles;
    FakeExtensionManager extensions;
    APIClient api{Clock::system(), NetworkAccessFactory::standard()};
};

// Keeps the controller's lines (a monitor restart logs one) out of the
// figures' output; formatting them is still measured.
struct QuietLog final : LogSink {
    QuietLog() { Log::installSink(this); }
    ~QuietLog() override { Log::installSink(nullptr); }
    void write(const LogRecord&) override {}
};

void RecomputeState(benchmark::State& state) {
    QuietLog quiet;
    // 0: tunnel down; 1: connected with a rule-set, which restarts the monitor.
    ConnectedDevice device(state.range(0) ? QStringList{u"youtube"_s} : QStringList());
    if (!state.range(0))
        device.profiles.setStatus(VpnStatus::disconnected);
    auto controller = device.controller();
    while (controller->state().kind() == ConnectionState::Kind::notActivated)
        QCoreApplication::processEvents();
    for (auto _ : state)
        controller->recomputeState();
    QCoreApplication::processEvents();
}
BENCHMARK(RecomputeState)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void StartupToConnected(benchmark::State& state) {
    QuietLog quiet;
    ConnectedDevice device({u"youtube"_s});
    for (auto _ : state) {
        QElapsedTimer elapsed;
        elapsed.start();
        auto controller = device.controller();
        while (controller->state().kind() != ConnectionState::Kind::connected)
            QCoreApplication::processEvents();
        state.SetIterationTime(double(elapsed.nsecsElapsed()) / 1e9);
        controller.reset();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(StartupToConnected)->Unit(benchmark::kMicrosecond)->UseManualTime();

// Forwards TCP both ways, holding every chunk back `delay`: loopback with the
// round trip of a real network, which is what connection limits cost.
class LatencyRelay final : public QObject {
public:
    LatencyRelay(quint16 target, std::chrono::milliseconds delay)
        : m_target(target)
        , m_delay(delay) {
        m_server->listen(QHostAddress::LocalHost);
        QObject::connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = m_server->nextPendingConnection()) {
                auto* upstream = new QTcpSocket(client);
                pipe(client, upstream);
                pipe(upstream, client);
                upstream->connectToHost(QHostAddress::LocalHost, m_target);
            }
        });
    }
    quint16 port() const { return m_server->serverPort(); }

private:
    void pipe(QTcpSocket* from, QTcpSocket* to) {
        QObject::connect(from, &QTcpSocket::readyRead, to, [this, from, to] {
            QTimer::singleShot(m_delay, Qt::PreciseTimer, to,
                               [to, data = from->readAll()] { to->write(data); });
        });
        QObject::connect(from, &QTcpSocket::disconnected, to, [this, to] {
            QTimer::singleShot(m_delay, Qt::PreciseTimer, to, [to] { to->disconnectFromHost(); });
        });
    }
    QTcpServer* m_server = new QTcpServer(this);
    quint16 m_target;
    std::chrono::milliseconds m_delay;
};

// nghttpd with a certificate made for this run, serving `files` rule-sets.
struct Http2Service {
    explicit Http2Service(int files) {
        const QString dir = m_dir.path();
        const int made = QProcess::execute(
            u"openssl"_s, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
                          u"ec_paramgen_curve:P-256"_s, u"-nodes"_s, u"-days"_s, u"1"_s,
                          u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                          u"subjectAltName=IP:127.0.0.1"_s, u"-keyout"_s, dir + u"/key.pem",
                          u"-out"_s, dir + u"/cert.pem"});
        QDir(dir).mkpath(u"htdocs/rulesets"_s);
        for (int i = 0; i < files; ++i) {
            QFile file(dir + u"/htdocs/rulesets/set-" + QString::number(i) + u".srs");
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray(32 * 1024, 'r'));
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        m_server.start(u"nghttpd"_s, {u"-a"_s, u"127.0.0.1"_s, u"-d"_s, dir + u"/htdocs",
                                       QString::number(port), dir + u"/key.pem",
                                       dir + u"/cert.pem"});
        ready = made == 0 && m_server.waitForStarted();
        for (int i = 0; ready && i < 100; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(50))
                break;
            QThread::msleep(20);
        }
        tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(dir + u"/cert.pem"));
    }
    ~Http2Service() {
        m_server.kill();
        m_server.waitForFinished();
    }

    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 port = 0;
    bool ready = false;
    QSslConfiguration tls; // trusts this run's certificate, for these requests only
};

// Downloads `count` rule-sets at once, as a connect does, on a fresh session
// (new connections included); milliseconds, or -1 if one failed.
double downloadAll(const Http2Service& service, quint16 port, int count) {
    HttpSession session({10s, std::nullopt, false}, Clock::system(), NetworkAccessFactory::standard());
    QElapsedTimer elapsed;
    elapsed.start();
    std::vector<QCoro::Task<HttpResult>> downloads;
    for (int i = 0; i < count; ++i) {
        QNetworkRequest request(QUrl(u"https://127.0.0.1:"_s + QString::number(port) +
                                     u"/rulesets/set-" + QString::number(i) + u".srs"));
        request.setSslConfiguration(service.tls);
        downloads.push_back(session.send(request, "GET"));
    }
    bool ok = true;
    for (auto& download : downloads) {
        const HttpResult result = QCoro::waitFor(std::move(download));
        ok = ok && result.completed && result.status == 200;
    }
    return ok ? double(elapsed.nsecsElapsed()) / 1e6 : -1;
}

void RulesetDownloadsOverHttp2(benchmark::State& state) {
    static Http2Service service(20);
    if (!service.ready) {
        state.SkipWithError("nghttpd or openssl unavailable");
        return;
    }
    // The relay runs beside the main thread, as the network would.
    QThread relayThread;
    auto* relay = new LatencyRelay(service.port, std::chrono::milliseconds(state.range(0)));
    relay->moveToThread(&relayThread);
    relayThread.start();
    double one = 0, twenty = 0;
    for (auto _ : state) {
        one += downloadAll(service, relay->port(), 1);
        twenty += downloadAll(service, relay->port(), 20);
    }
    QMetaObject::invokeMethod(relay, [relay] { delete relay; }, Qt::BlockingQueuedConnection);
    relayThread.quit();
    relayThread.wait();
    const double n = double(state.iterations());
    state.counters["one_ms"] = one / n;
    state.counters["twenty_ms"] = twenty / n;
    state.counters["ratio"] = one > 0 && twenty > 0 ? twenty / one : -1;
}
// One-way delays of 0 (bare loopback) and 20 ms (a 40 ms round trip).
BENCHMARK(RulesetDownloadsOverHttp2)
    ->Arg(0)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

} // namespace
