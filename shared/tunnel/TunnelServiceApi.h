#pragma once

#include <QLatin1StringView>

// The names of halvoran-tunneld's D-Bus face, the Linux service that owns the
// VPN profiles and runs their tunnels. The interface itself (its calls, their
// types, the statuses and the errors) is described once, in
// dev.morvel.vpn.Tunnel1.xml beside this file; the service's adaptor and the
// app's proxy are generated from it, and both spell the names from here.
namespace TunnelServiceApi {

inline constexpr QLatin1StringView busName{"dev.morvel.vpn.Tunnel"};
inline constexpr QLatin1StringView objectPath{"/dev/morvel/vpn/Tunnel1"};
inline constexpr QLatin1StringView interfaceName{"dev.morvel.vpn.Tunnel1"};

namespace Key {
inline constexpr QLatin1StringView id{"Id"};
inline constexpr QLatin1StringView status{"Status"};
inline constexpr QLatin1StringView localizedDescription{"LocalizedDescription"};
inline constexpr QLatin1StringView enabled{"Enabled"};
inline constexpr QLatin1StringView providerBundleIdentifier{"ProviderBundleIdentifier"};
inline constexpr QLatin1StringView serverAddress{"ServerAddress"};
inline constexpr QLatin1StringView providerConfiguration{"ProviderConfiguration"};
} // namespace Key

namespace Error {
inline constexpr QLatin1StringView notFound{"dev.morvel.vpn.Tunnel1.Error.NotFound"};
inline constexpr QLatin1StringView invalidArgs{"dev.morvel.vpn.Tunnel1.Error.InvalidArgs"};
inline constexpr QLatin1StringView notAuthorized{"dev.morvel.vpn.Tunnel1.Error.NotAuthorized"};
inline constexpr QLatin1StringView failed{"dev.morvel.vpn.Tunnel1.Error.Failed"};
} // namespace Error

inline constexpr QLatin1StringView approved{"approved"};
inline constexpr QLatin1StringView needsApproval{"needs-approval"};

// The polkit action an administrator grants once per user in system mode.
inline constexpr QLatin1StringView polkitAction{"dev.morvel.vpn.tunnel.use"};

} // namespace TunnelServiceApi
