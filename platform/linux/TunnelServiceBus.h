#pragma once

#include "platform/PlatformError.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantList>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class DevMorvelVpnTunnel1Interface;
class QDBusPendingCall;

// Where the app finds halvoran-tunneld: the system service on the system bus,
// or, for development and the demo, the user's own on the session bus.
struct TunnelServiceBus {
    QDBusConnection connection;
    bool session = false;

    static TunnelServiceBus system();
    static TunnelServiceBus sessionBus();
    // The session bus when $HALVORAN_TUNNEL_BUS is "session", else the system bus.
    static TunnelServiceBus fromEnvironment();

    // The service's proxy on this bus, generated from the interface file.
    // Its calls wait at most `bound` (setTimeout changes it per call).
    std::unique_ptr<DevMorvelVpnTunnel1Interface> proxy(std::chrono::milliseconds bound) const;

    // Waits for a call of the proxy. Returns the reply; throws a
    // PlatformError that says what to do when the service refuses, is
    // missing, or does not answer in time.
    QCoro::Task<QDBusMessage> wait(QDBusPendingCall pending) const;

    // The error a failed reply stands for, worded for the user.
    PlatformError errorFor(const QDBusMessage& reply) const;

    // The domain of the errors above and their codes.
    static constexpr QLatin1StringView errorDomain{"dev.morvel.vpn.Tunnel1"};
    enum ErrorCode { notFound = 1, invalidArguments, notAuthorized, failed, unreachable, timedOut };
};
