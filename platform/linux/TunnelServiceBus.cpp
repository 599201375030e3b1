#include "platform/linux/TunnelServiceBus.h"

#include "TunnelServiceProxy.h" // generated from the interface file
#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusError>
#include <QDBusPendingCall>
#include <qcoro/qcorodbuspendingcall.h>

using namespace Qt::StringLiterals;
namespace Api = TunnelServiceApi;

TunnelServiceBus TunnelServiceBus::system() {
    return {QDBusConnection::systemBus(), false};
}

TunnelServiceBus TunnelServiceBus::sessionBus() {
    return {QDBusConnection::sessionBus(), true};
}

TunnelServiceBus TunnelServiceBus::fromEnvironment() {
    return qEnvironmentVariable("HALVORAN_TUNNEL_BUS") == "session"_L1 ? sessionBus() : system();
}

std::unique_ptr<DevMorvelVpnTunnel1Interface>
TunnelServiceBus::proxy(std::chrono::milliseconds bound) const {
    auto proxy = std::make_unique<DevMorvelVpnTunnel1Interface>(
        QString(Api::busName), QString(Api::objectPath), connection);
    proxy->setTimeout(int(bound.count()));
    return proxy;
}

QCoro::Task<QDBusMessage> TunnelServiceBus::wait(QDBusPendingCall pending) const {
    // A copy: the awaiting frame may outlive the struct it was called on.
    const TunnelServiceBus self = *this;
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw self.errorFor(reply);
    co_return reply;
}

PlatformError TunnelServiceBus::errorFor(const QDBusMessage& reply) const {
    const QString name = reply.errorName();
    const auto error = [](int code, QString text) {
        return PlatformError(QString(errorDomain), code, std::move(text));
    };
    if (name == Api::Error::notFound)
        return error(notFound, reply.errorMessage());
    if (name == Api::Error::invalidArgs)
        return error(invalidArguments, reply.errorMessage());
    if (name == Api::Error::notAuthorized)
        return error(notAuthorized, reply.errorMessage());
    if (name == Api::Error::failed)
        return error(failed, reply.errorMessage());
    const QDBusError::ErrorType type = QDBusError(reply).type();
    if (type == QDBusError::NoReply || type == QDBusError::Timeout || type == QDBusError::TimedOut)
        return error(timedOut, u"The Halvoran tunnel service did not answer in time."_s);
    if (type == QDBusError::ServiceUnknown ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner"_L1 ||
        type == QDBusError::Disconnected ||
        name.startsWith("org.freedesktop.DBus.Error.Spawn"_L1)) {
        if (session)
            return error(unreachable, u"The Halvoran tunnel service is not running. Start it "
                                      u"with “halvoran-tunneld --session”."_s);
        return error(unreachable,
                     u"The Halvoran tunnel service is not installed or could not be started. "
                     u"Install Halvoran’s tunnel service package, or ask your administrator; "
                     u"“systemctl status halvoran-tunneld” tells why it did not start."_s);
    }
    return error(failed, u"The Halvoran tunnel service failed: "_s + reply.errorMessage());
}
