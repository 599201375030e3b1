#pragma once

#include "shared/model/SubscriptionMetadata.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The settings the app and the tunnel process share. Every operation is a
// single read or write that may be called from any thread; none reports an
// error: a value that cannot be read is absent, one that cannot be written is
// not written.
namespace SharedDefaults {

enum class Key {
    subscriptionMetadata,
    subscriptionToken,
    subscriptionURL,
    preferredEdgeTag,
    routingMode,
    lastExtensionDiag,
    lastBoundInterface,
    startAtLogin,
};
QString rawValue(Key key);
// Only an exact, case-sensitive key string names a key.
std::optional<Key> keyFromRawValue(QStringView raw);

enum class RoutingMode { selective, global };
QString rawValue(RoutingMode mode);
std::optional<RoutingMode> routingModeFromRawValue(QStringView raw);

std::optional<QString> subscriptionToken();
void setSubscriptionToken(const std::optional<QString>& token);
std::optional<QString> subscriptionURL();
void setSubscriptionURL(const std::optional<QString>& url);
std::optional<QString> preferredEdgeTag();
void setPreferredEdgeTag(const std::optional<QString>& tag);
// Left by the tunnel process for diagnostics; the app never writes them.
std::optional<QString> lastExtensionDiag();
void setLastExtensionDiag(const std::optional<QString>& text);
std::optional<QString> lastBoundInterface();
void setLastBoundInterface(const std::optional<QString>& name);

// The user's choice of starting the app with the session ("true" or
// "false"); absent until the user makes one. The app's only: sign-out keeps it.
std::optional<bool> startAtLogin();
void setStartAtLogin(bool enabled);

// Selective unless "global" is stored.
RoutingMode routingMode();
void setRoutingMode(RoutingMode mode);

void saveMetadata(const SubscriptionMetadata& metadata);
// Absent when nothing is stored or the stored blob does not decode (it stays).
std::optional<SubscriptionMetadata> loadMetadata();

// The sing-box configuration exactly as last downloaded, in the shared
// container. Absent when there is no container.
std::optional<QString> lastConfigURL();
void saveLastConfig(const QByteArray& data);
std::optional<QByteArray> loadLastConfig();

// Sign-out: forgets the subscription, the preferred edge and the routing mode,
// and deletes the last configuration. The tunnel's diagnostics, the device
// identifier and the cached rule-sets stay.
void clearAll();

} // namespace SharedDefaults
