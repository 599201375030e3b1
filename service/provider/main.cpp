// halvoran-tunnel: the tunnel provider. The tunnel service starts it as the
// user, passes the VPN profile's provider configuration on standard input,
// and reads its status lines on standard output. SIGHUP re-establishes the
// tunnel, SIGTERM stops it.
#include "platform/LogSink.h"
#include "service/provider/Privileges.h"
#include "service/provider/ProviderInput.h"
#include "service/provider/ProviderLog.h"
#include "service/provider/TunnelProvider.h"
#include "shared/log/Log.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr auto inputLimit = 5s;

// One line to the tunnel service, whole, at once. False when it is gone.
bool report(const QByteArray& line) {
    const QByteArray data = line + '\n';
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, data.constData() + written, data.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

std::optional<int> positiveOption(const QCommandLineParser& parser, const QString& name) {
    if (!parser.isSet(name))
        return std::nullopt;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    return ok && value > 0 ? std::optional(value) : std::optional(-1);
}

} // namespace

int main(int argc, char** argv) {
    // Taken through a descriptor, so they are blocked before any thread is
    // started and every thread inherits the mask. The engine gets them back.
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGHUP, SIGTERM, SIGINT})
        sigaddset(&handled, signal);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"halvoran-tunnel"_s);
    const std::unique_ptr<LogSink> sink = createSystemLogSink();
    Log::installSink(sink.get());

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Runs the Halvoran tunnel for the tunnel service."_s);
    parser.addOptions({
        {u"mode"_s, u"session (a local proxy) or system (a TUN device)"_s, u"mode"_s},
        {u"proxy-port"_s, u"Session mode's proxy port on 127.0.0.1 (default 47833)"_s, u"port"_s},
        {u"start-timeout-ms"_s, u"How long the engine may take to start"_s, u"ms"_s},
        {u"stop-grace-ms"_s, u"How long the engine may take to stop before it is killed"_s,
         u"ms"_s},
    });
    parser.addHelpOption();
    TunnelProvider::Options options;
    const QString mode = parser.parse(app.arguments()) ? parser.value(u"mode"_s) : QString();
    const std::optional<int> port = positiveOption(parser, u"proxy-port"_s);
    const std::optional<int> startTimeout = positiveOption(parser, u"start-timeout-ms"_s);
    const std::optional<int> stopGrace = positiveOption(parser, u"stop-grace-ms"_s);
    if (parser.isSet(u"help"_s)) {
        ::fputs(qPrintable(parser.helpText()), stderr);
        return 0;
    }
    if ((mode != u"session" && mode != u"system") || port.value_or(1) < 0 ||
        port.value_or(1) > 65535 || startTimeout.value_or(1) < 0 || stopGrace.value_or(1) < 0) {
        report("error usage: halvoran-tunnel --mode session|system [--proxy-port N] "
               "[--start-timeout-ms N] [--stop-grace-ms N]");
        return 2;
    }
    options.mode = mode == u"system" ? EffectiveConfig::TunnelMode::system
                                     : EffectiveConfig::TunnelMode::session;
    options.proxyPort = quint16(port.value_or(options.proxyPort));
    options.startTimeout = std::chrono::milliseconds(startTimeout.value_or(20000));
    options.stopGrace = std::chrono::milliseconds(stopGrace.value_or(5000));

    if (const QString problem = Privileges::restrict(options.mode); !problem.isEmpty()) {
        qCCritical(providerLog, "%s", Log::printable(problem).constData());
        report("error " + Log::printable(problem));
        return 1;
    }
    QString inputError;
    if (!ProviderInput::read(STDIN_FILENO, inputLimit, &inputError)) {
        qCCritical(providerLog, "%s", Log::printable(inputError).constData());
        report("error " + Log::printable(inputError));
        return 1;
    }

    const int signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        report("error cannot receive signalFd");
        return 1;
    }
    TunnelProvider provider(options, [&provider](const QByteArray& line) {
        // The service gone, nobody hears the tunnel any more: stop it.
        if (!report(line))
            QMetaObject::invokeMethod(&provider, &TunnelProvider::stop, Qt::QueuedConnection);
    });
    QObject::connect(&provider, &TunnelProvider::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QSocketNotifier notifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &provider, [&provider, signalFd] {
        signalfd_siginfo info;
        while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
            if (info.ssi_signo == SIGHUP)
                provider.reassert();
            else
                provider.stop();
        }
    });
    QMetaObject::invokeMethod(&provider, &TunnelProvider::start, Qt::QueuedConnection);
    const int code = app.exec();
    ::close(signalFd);
    Log::installSink(nullptr);
    return code;
}
