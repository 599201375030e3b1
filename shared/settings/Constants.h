#pragma once

#include <QLatin1StringView>
#include <QUrl>

// The fixed identifiers the app and the tunnel process agree on.
namespace Constants {

// The service API's HTTPS origin (scheme and host, no path, no trailing slash),
// chosen when the library is built.
const QUrl& apiBaseURL();
// Where reachability is probed, when a build probes one place for every
// rule-set (the demo build: its own service, so nothing leaves the machine);
// empty for the services' own home pages.
const QUrl& probeOrigin();

inline constexpr QLatin1StringView appGroup{"Q7T2K9RW4M.group.dev.morvel.vpn"};
inline constexpr QLatin1StringView keychainAccessGroup{"Q7T2K9RW4M.dev.morvel.vpn"};
inline constexpr QLatin1StringView vpnConfigurationName{"VPN"};
inline constexpr QLatin1StringView tunnelBundleIdentifier{"dev.morvel.vpn.sysext"};

} // namespace Constants
