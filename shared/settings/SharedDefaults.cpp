#include "shared/settings/SharedDefaults.h"

#include "platform/AppGroup.h"
#include "shared/coding/JsonCoding.h"
#include "shared/coding/RawValue.h"
#include "shared/settings/AtomicFile.h"
#include "shared/settings/Constants.h"
#include "shared/settings/SettingsSuite.h"

#include <QFile>

#include <array>

using namespace Qt::StringLiterals;

namespace SharedDefaults {

namespace {

constexpr std::array<QLatin1StringView, 8> keyStrings{
    "subscription_metadata"_L1, "subscription_token"_L1, "subscription_url"_L1,
    "preferred_edge_tag"_L1,    "routing_mode"_L1,       "last_extension_diag"_L1,
    "last_bound_interface"_L1,  "start_at_login"_L1,
};

QLatin1StringView keyString(Key key) {
    return keyStrings[size_t(key)];
}

SettingsSuite& suite() {
    return SettingsSuite::shared();
}

std::optional<QString> readText(Key key) {
    return suite().text(keyString(key));
}

void writeText(Key key, const std::optional<QString>& value) {
    if (value)
        suite().setText(keyString(key), *value);
    else
        suite().remove(keyString(key));
}

} // namespace

QString rawValue(Key key) {
    return keyString(key);
}

std::optional<Key> keyFromRawValue(QStringView raw) {
    return fromRawValue<Key>(keyStrings, raw);
}

QString rawValue(RoutingMode mode) {
    return mode == RoutingMode::global ? u"global"_s : u"selective"_s;
}

std::optional<RoutingMode> routingModeFromRawValue(QStringView raw) {
    if (raw == u"selective")
        return RoutingMode::selective;
    if (raw == u"global")
        return RoutingMode::global;
    return std::nullopt;
}

std::optional<QString> subscriptionToken() {
    return readText(Key::subscriptionToken);
}
void setSubscriptionToken(const std::optional<QString>& token) {
    writeText(Key::subscriptionToken, token);
}
std::optional<QString> subscriptionURL() {
    return readText(Key::subscriptionURL);
}
void setSubscriptionURL(const std::optional<QString>& url) {
    writeText(Key::subscriptionURL, url);
}
std::optional<QString> preferredEdgeTag() {
    return readText(Key::preferredEdgeTag);
}
void setPreferredEdgeTag(const std::optional<QString>& tag) {
    writeText(Key::preferredEdgeTag, tag);
}
std::optional<QString> lastExtensionDiag() {
    return readText(Key::lastExtensionDiag);
}
void setLastExtensionDiag(const std::optional<QString>& text) {
    writeText(Key::lastExtensionDiag, text);
}
std::optional<bool> startAtLogin() {
    const std::optional<QString> stored = readText(Key::startAtLogin);
    if (stored == u"true"_s)
        return true;
    if (stored == u"false"_s)
        return false;
    return std::nullopt;
}
void setStartAtLogin(bool enabled) {
    writeText(Key::startAtLogin, enabled ? u"true"_s : u"false"_s);
}

std::optional<QString> lastBoundInterface() {
    return readText(Key::lastBoundInterface);
}
void setLastBoundInterface(const std::optional<QString>& name) {
    writeText(Key::lastBoundInterface, name);
}

RoutingMode routingMode() {
    const std::optional<QString> stored = readText(Key::routingMode);
    return stored ? routingModeFromRawValue(*stored).value_or(RoutingMode::selective)
                  : RoutingMode::selective;
}

void setRoutingMode(RoutingMode mode) {
    writeText(Key::routingMode, rawValue(mode));
}

void saveMetadata(const SubscriptionMetadata& metadata) {
    try {
        const QByteArray blob = JsonEncoder::iso8601Fractional().encode(metadata);
        suite().setBytes(keyString(Key::subscriptionMetadata), blob);
    } catch (const EncodingError&) {
        // Nothing written: the stored blob stays as it was.
    }
}

std::optional<SubscriptionMetadata> loadMetadata() {
    const std::optional<QByteArray> blob = suite().bytes(keyString(Key::subscriptionMetadata));
    if (!blob)
        return std::nullopt;
    try {
        return JsonDecoder::iso8601Fractional().decode<SubscriptionMetadata>(*blob);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

std::optional<QString> lastConfigURL() {
    const std::optional<QString> container = AppGroup::containerDirectory(Constants::appGroup);
    if (!container)
        return std::nullopt;
    return *container + u"/last-config.json";
}

void saveLastConfig(const QByteArray& data) {
    if (const std::optional<QString> path = lastConfigURL())
        AtomicFile::write(*path, data);
}

std::optional<QByteArray> loadLastConfig() {
    const std::optional<QString> path = lastConfigURL();
    if (!path)
        return std::nullopt;
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

void clearAll() {
    // One transaction, so the tunnel process never reads a half-cleared store.
    suite().removeAll({keyString(Key::subscriptionMetadata), keyString(Key::subscriptionToken),
                       keyString(Key::subscriptionURL), keyString(Key::preferredEdgeTag),
                       keyString(Key::routingMode)});
    if (const std::optional<QString> path = lastConfigURL())
        QFile::remove(*path);
}

} // namespace SharedDefaults
