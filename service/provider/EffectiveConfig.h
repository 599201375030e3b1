#pragma once

#include "shared/settings/SharedDefaults.h"
#include "shared/tunnel/TunnelContract.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stdexcept>

// Turns the configuration the service sent into the one the engine runs. The
// service's configuration comes from the network and the engine runs with
// network privileges, so only what is understood is carried over (the
// outbounds, the route and its rule-sets, DNS), field by field from an
// allow-list; everything else, including any field that would make the engine
// read or write a file or open a control port, is left out. The inbounds are
// always the provider's own.
namespace EffectiveConfig {

enum class TunnelMode {
    session, // no privilege: a local SOCKS5/HTTP proxy
    system,  // a TUN device with automatic routes
};

struct Inputs {
    QByteArray lastConfig; // the configuration as last downloaded
    SharedDefaults::RoutingMode routing = SharedDefaults::RoutingMode::selective;
    std::optional<QString> preferredEdge;
    TunnelMode mode = TunnelMode::session;
    quint16 proxyPort = 0; // session mode's listening port on 127.0.0.1
    // Where the engine finds a rule-set's file; absent leaves the rule-set out
    // (a tag that is no plain file name, or a file not downloaded yet).
    std::function<std::optional<QString>(const QString& tag)> rulesetPath;
};

struct Result {
    QJsonObject config;
    QString edge;                // the edge the tunnel prefers
    QStringList rulesets;        // rule-sets handed to the engine
    QStringList missingRulesets; // rule-sets left out for want of a file
    QStringList leftOut;         // what else was left out, for the log
};

// Why no configuration can be built; the text is meant for the user.
struct BuildError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr char tunInboundTag[] = "tun-in";
inline constexpr char proxyInboundTag[] = "mixed-in";
inline constexpr const char* tunInterfaceName = TunnelContract::tunInterfaceName;

// Throws BuildError.
Result build(const Inputs& inputs);

} // namespace EffectiveConfig
