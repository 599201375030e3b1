// halvoran-tunneld: owns the VPN profiles and runs their tunnels, on the
// system bus as root (D-Bus activated by systemd), or with --session on the
// user's session bus as the user, for development, the demo and tests.
#include "TunnelServiceAdaptor.h" // generated from the interface file
#include "platform/LogSink.h"
#include "platform/linux/JournalLogSink.h"
#include "service/tunneld/Authorization.h"
#include "service/tunneld/Firewall.h"
#include "service/tunneld/NetworkWatchers.h"
#include "service/tunneld/ProfileStore.h"
#include "service/tunneld/RunningRecords.h"
#include "service/tunneld/ServiceLog.h"
#include "service/tunneld/TunnelService.h"
#include "shared/log/Log.h"
#include "shared/tunnel/TunnelServiceApi.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const char byte = char(number);
    (void)!::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the service through the event loop, so that every
// tunnel is stopped first. Handlers rather than a blocked mask: a mask would
// be inherited by the providers.
void handleTermination(TunnelService& service) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&service] {
        char byte = 0;
        (void)!::read(signalPipe[0], &byte, 1);
        qCInfo(ServiceLog::tunneld, "signal %d: stopping", int(byte));
        service.shutdown();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

std::chrono::milliseconds milliseconds(const QCommandLineParser& parser,
                                       const QCommandLineOption& option) {
    bool ok = false;
    const qint64 value = parser.value(option).toLongLong(&ok);
    if (!ok || value <= 0) {
        qCritical("halvoran-tunneld: --%s needs a positive number of milliseconds",
                  qUtf8Printable(option.names().first()));
        std::exit(2);
    }
    return std::chrono::milliseconds(value);
}

// For runs in the foreground and tests: every line on stderr, none to the journal.
class StderrSink final : public LogSink {
public:
    void write(const LogRecord& record) override {
        const QByteArray line = JournalLogSink::stderrLine(record);
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }
};

} // namespace

int main(int argc, char** argv) {
    // Files this service writes are its own only.
    ::umask(077);
    QCoreApplication app(argc, argv);
    app.setApplicationName(u"halvoran-tunneld"_s);
    std::unique_ptr<LogSink> sink = app.arguments().contains(u"--log-stderr"_s)
                                        ? std::make_unique<StderrSink>()
                                        : createSystemLogSink();
    Log::installSink(sink.get());

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Halvoran's tunnel service: VPN profiles and tunnels."_s);
    parser.addHelpOption();
    const QCommandLineOption session(u"session"_s,
                                     u"Run on the session bus as this user (development, demo)."_s);
    const QCommandLineOption stateDir(u"state-dir"_s,
                                      u"Where profiles are kept (default: $STATE_DIRECTORY or "
                                      u"/var/lib/halvoran-tunneld; with --session "
                                      u"$XDG_STATE_HOME/halvoran-tunneld)."_s,
                                      u"dir"_s);
    const QCommandLineOption connectTimeout(
        u"connect-timeout"_s, u"Milliseconds a provider has to report the tunnel up."_s, u"ms"_s,
        u"30000"_s);
    const QCommandLineOption stopTimeout(u"stop-timeout"_s,
                                         u"Milliseconds a provider has to exit when stopped."_s,
                                         u"ms"_s, u"5000"_s);
    const QCommandLineOption routeSettle(u"route-settle"_s,
                                         u"Milliseconds route changes must settle before a tunnel "
                                         u"is re-established."_s,
                                         u"ms"_s, u"2000"_s);
    const QCommandLineOption logStderr(u"log-stderr"_s,
                                       u"Write the log to stderr instead of the journal."_s);
    const QCommandLineOption nft(u"nft"_s,
                                 u"The nft program that sets system mode's firewall (default: "
                                 u"/usr/sbin/nft, else /sbin/nft). For tests only: the unit "
                                 u"never sets it."_s,
                                 u"path"_s);
    parser.addOptions(
        {session, stateDir, connectTimeout, stopTimeout, routeSettle, logStderr, nft});
    parser.process(app);

    const bool sessionMode = parser.isSet(session);
    const TunnelService::Mode mode =
        sessionMode ? TunnelService::Mode::session : TunnelService::Mode::system;
    QString root = parser.value(stateDir);
    if (root.isEmpty() && sessionMode)
        root = qEnvironmentVariable("XDG_STATE_HOME", QDir::homePath() + u"/.local/state"_s) +
               u"/halvoran-tunneld"_s;
    if (root.isEmpty())
        root = qEnvironmentVariable("STATE_DIRECTORY", u"/var/lib/halvoran-tunneld"_s)
                   .section(u':', 0, 0);
    const TunnelSession::Timing timing{milliseconds(parser, connectTimeout),
                                       milliseconds(parser, stopTimeout)};

    ProfileStore store(root);
    QString error;
    if (!store.prepare(&error)) {
        qCCritical(ServiceLog::tunneld, "cannot use the state directory: %s",
                   qUtf8Printable(error));
        return 1;
    }
    RunningRecords records(root + u"/running"_s);

    QDBusConnection bus =
        sessionMode ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCCritical(ServiceLog::tunneld, "no %s bus: %s", sessionMode ? "session" : "system",
                   qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    // logind and polkit live on the system bus whichever bus we serve.
    const QDBusConnection systemBus = QDBusConnection::systemBus();
    Authorization authorization(systemBus, store);
    // Only a system service's tunnels route the whole machine.
    std::unique_ptr<Firewall> firewall;
    if (!sessionMode)
        firewall = std::make_unique<Firewall>(parser.isSet(nft) ? parser.value(nft)
                                                                : Firewall::systemProgram());
    TunnelService service(bus, mode, timing, store, records, authorization, firewall.get());
    new TunnelServiceAdaptor(&service);
    QObject::connect(&service, &TunnelService::stopped, &app, &QCoreApplication::quit);

    SleepWatcher sleep;
    if (!sleep.watch(systemBus))
        qCInfo(ServiceLog::tunneld,
               "no logind on the system bus: tunnels are not renewed after sleep");
    QObject::connect(&sleep, &SleepWatcher::resumed, &service,
                     [&service] { service.reassertAll(u"resumed from sleep"_s); });
    RouteWatcher routes(milliseconds(parser, routeSettle));
    if (!routes.watch())
        qCInfo(ServiceLog::tunneld, "cannot watch the routing table: tunnels are not renewed on "
                                    "network changes");
    QObject::connect(&routes, &RouteWatcher::defaultRouteChanged, &service,
                     [&service] { service.reassertAll(u"default route changed"_s); });

    if (!bus.registerObject(QString(TunnelServiceApi::objectPath), &service)) {
        qCCritical(ServiceLog::tunneld, "cannot register the object: %s",
                   qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    if (!bus.registerService(QString(TunnelServiceApi::busName))) {
        qCCritical(ServiceLog::tunneld, "cannot own %s: %s",
                   qUtf8Printable(QString(TunnelServiceApi::busName)),
                   qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    // Only now, with the name ours and so no other instance running: nothing
    // a crashed run started may outlive it, and no status of then holds.
    // Calls wait in the queue until this is done.
    if (const int killed = records.reconcile())
        qCInfo(ServiceLog::tunneld, "stopped %d tunnel(s) left by an earlier run", killed);
    // A run that crashed may have left its firewall up with no tunnel behind
    // it, which would keep the machine off the network.
    if (firewall) {
        if (const QString problem = firewall->lowerNow(); !problem.isEmpty())
            qCCritical(ServiceLog::tunneld, "cannot remove a firewall left by an earlier run: %s",
                       qUtf8Printable(problem));
    }
    handleTermination(service);
    qCInfo(ServiceLog::tunneld, "serving %s on the %s bus, state in %s",
           qUtf8Printable(QString(TunnelServiceApi::busName)), sessionMode ? "session" : "system",
           qUtf8Printable(root));
    const int status = app.exec();
    bus.unregisterService(QString(TunnelServiceApi::busName));
    Log::installSink(nullptr);
    return status;
}
