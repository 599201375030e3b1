#pragma once

#include <QLatin1StringView>

// The D-Bus face of halvoran-tunneld, the Linux service that owns the VPN
// profiles and runs their tunnels. The app's backends and the service both
// spell the names from here.
//
// A profile crosses the bus as a{sv} with the keys below; a profile without a
// tunnel-provider protocol has none of the Provider* keys. The provider
// configuration is a{sv} of text, number and truth values.
//
//   LoadAll() -> aa{sv}                   every profile of the caller, each with Id and Status
//   Save(a{sv} profile) -> s id           a profile without Id is new and gets one
//   Load(s id) -> a{sv}
//   Remove(s id)                          stops its tunnel first
//   Start(s id)
//   Stop(s id)
//   Status(s id) -> s
//   RequestApproval(b interactive) -> s   "approved" or "needs-approval"
//   signal StatusChanged(s id, s status)  sent to the profile owner's connections only
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
