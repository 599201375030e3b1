#pragma once

#include "platform/PlatformTexts.h"

#include <QString>

#include <exception>

// The texts the controller shows in its error state and its notice.
namespace TunnelMessages {

using namespace Qt::StringLiterals;

inline QString extensionFailed(const QString& message) {
    return u"Couldn’t enable the VPN system extension: "_s + message;
}
inline QString profileInstallFailed(const QString& description) {
    return description + u" — VPN profile install failed. Check "_s +
           PlatformTexts::vpnSettingsPlace() + u'.';
}
inline QString profileReinstallFailed(const QString& description) {
    return u"Couldn't install VPN profile: "_s + description + u". Check "_s +
           PlatformTexts::vpnSettingsPlace() + u'.';
}
inline QString notConfigured() {
    return u"VPN not configured yet"_s;
}
inline QString invalidSubscriptionURL() {
    return u"invalid subscription URL from server"_s;
}
inline QString activationFailed() {
    return u"activation failed"_s;
}
inline QString subscriptionExpired() {
    return u"Your subscription has expired. Enter a new activation code to keep using the VPN."_s;
}

// How a failure reads to a person: the platform's or the service's own words.
QString describe(const std::exception& error);

} // namespace TunnelMessages
