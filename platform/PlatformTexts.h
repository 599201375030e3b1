#pragma once

#include <QString>

// User-visible texts that name a place or a machine of the platform.
namespace PlatformTexts {

// Where the user checks the VPN configuration, as it fits into
// "Check <place>.".
QString vpnSettingsPlace();

// The result shown when the extension is activated only after a restart.
QString restartToFinishExtension();

} // namespace PlatformTexts
