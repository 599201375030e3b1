// halvoran-demo-service: the service's API on this machine, for trying the
// app without a real service. Build the app with -DHALVORAN_DEMO=ON so that
// it talks to it, and activate with the code DEMO-2026.
#include "service/demo/DemoService.h"
#include "service/demo/HttpServer.h"
#include "shared/async/Clock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "halvoran-demo-service: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"halvoran-demo-service"_s);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"A local stand-in for the Halvoran service API. Activation code: DEMO-2026."_s);
    parser.addOptions({
        {u"port"_s, u"Port to listen on (default %1)."_s.arg(HALVORAN_DEMO_PORT), u"port"_s,
         QString::number(HALVORAN_DEMO_PORT)},
        {u"listen"_s, u"Loopback address to listen on (default 127.0.0.1)."_s, u"address"_s,
         u"127.0.0.1"_s},
        {u"state"_s,
         u"File that keeps the subscriptions across restarts (default "
         u"$XDG_STATE_HOME/halvoran-demo-service/subscriptions.json; empty: none)."_s,
         u"file"_s},
    });
    parser.addHelpOption();
    parser.process(app);

    bool ok = false;
    const uint port = parser.value(u"port"_s).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return fail(u"--port takes a port number from 1 to 65535"_s);
    const QHostAddress address(parser.value(u"listen"_s));
    // Subscription tokens travel in the clear here: never beyond this machine.
    if (address.isNull() || !address.isLoopback())
        return fail(u"--listen takes a loopback address only, such as 127.0.0.1"_s);

    QUrl origin;
    origin.setScheme(u"http"_s);
    origin.setHost(address.toString());
    origin.setPort(int(port));
    const QString state =
        parser.isSet(u"state"_s)
            ? parser.value(u"state"_s)
            : qEnvironmentVariable("XDG_STATE_HOME", QDir::homePath() + u"/.local/state"_s) +
                  u"/halvoran-demo-service/subscriptions.json"_s;
    DemoService service(origin, Clock::system(), state);
    HttpServer server([&service](const HttpRequest& request) { return service.handle(request); });
    if (!server.listen(address, quint16(port)))
        return fail(u"cannot listen on %1 port %2: %3"_s.arg(address.toString())
                        .arg(port)
                        .arg(server.errorString()));
    std::fprintf(stderr, "halvoran-demo-service: listening on %s (activation code %s)\n",
                 qPrintable(origin.toString()), DemoService::activationCode);
    return app.exec();
}
