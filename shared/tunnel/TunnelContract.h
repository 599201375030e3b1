#pragma once

#include "shared/settings/SharedDefaults.h"

#include <QLatin1StringView>

#include <array>
#include <chrono>

// What the app hands the tunnel process, and what it leaves to it. Nothing is
// called across: the two meet only through the VPN profile, the shared
// settings suite and the shared container, and the tunnel's status comes back
// through the system's VPN status announcements.
namespace TunnelContract {

// The VPN profile the app installs: named Constants::vpnConfigurationName,
// enabled, its provider named by Constants::tunnelBundleIdentifier. Its server
// address and its one provider-configuration entry, under this key, both hold
// the full subscription URL text, token included.
inline constexpr QLatin1StringView subscriptionURLKey{"subscription_url"};

// Keys of the shared settings suite that the app writes.
inline constexpr std::array appWrittenKeys{
    SharedDefaults::Key::subscriptionURL,      SharedDefaults::Key::subscriptionToken,
    SharedDefaults::Key::subscriptionMetadata, SharedDefaults::Key::preferredEdgeTag,
    SharedDefaults::Key::routingMode,
};
// Keys the tunnel process keeps for its own diagnostics; the app never reads
// or writes them.
inline constexpr std::array extensionReservedKeys{
    SharedDefaults::Key::lastExtensionDiag,
    SharedDefaults::Key::lastBoundInterface,
};

// Files of the shared container that the app writes: the configuration as
// last downloaded, and one "<tag>.srs" per rule-set in the directory.
inline constexpr QLatin1StringView lastConfigFileName{"last-config.json"};
inline constexpr QLatin1StringView rulesetsDirectoryName{"rulesets"};

// Rule-set files older than this (seconds) are downloaded again before each
// start of the tunnel.
inline constexpr double rulesetMaxAgeBeforeStart = 300;
// A restart of a running tunnel (rule-set reload, routing-mode change) stops
// it, waits this long, and starts it again.
inline constexpr std::chrono::milliseconds restartPause{500};

// System mode's TUN device, which the engine creates and the tunnel service's
// firewall lets everything out through.
inline constexpr char tunInterfaceName[] = "halvoran0";
// The routing mark the engine puts on every connection of its own (sing-box's
// route.default_mark): the firewall lets marked packets out, as they are the
// engine reaching its edges or what the configuration sends direct. Setting a
// mark takes CAP_NET_ADMIN (or CAP_NET_RAW), so no ordinary program of the
// user's can pass for the engine. Unlike sing-box's own marks (0x2023, 0x2024).
inline constexpr quint32 engineRoutingMark = 0x48560001;

} // namespace TunnelContract
