#pragma once

#include <QLatin1StringView>
#include <QUrl>

// The fixed identifiers the app and the tunnel process agree on.
namespace Constants {

// The service API's HTTPS origin (scheme and host, no path, no trailing slash),
// chosen when the library is built.
const QUrl& apiBaseURL();

inline constexpr QLatin1StringView appGroup{"Q7T2K9RW4M.group.dev.morvel.vpn"};
inline constexpr QLatin1StringView keychainAccessGroup{"Q7T2K9RW4M.dev.morvel.vpn"};
inline constexpr QLatin1StringView vpnConfigurationName{"VPN"};
inline constexpr QLatin1StringView tunnelBundleIdentifier{"dev.morvel.vpn.sysext"};

} // namespace Constants
