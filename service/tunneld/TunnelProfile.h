#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include <optional>

// One VPN profile as the service keeps it: the fields the app sets and an id
// the service gives it at the first save. Everything here comes from an
// unprivileged caller, so it is checked before it is kept.
struct TunnelProfile {
    QString id;
    QString localizedDescription;
    bool enabled = false;
    // The tunnel-provider protocol; absent when the profile has none.
    struct Protocol {
        QString providerBundleIdentifier;
        QString serverAddress;
        // Text keys to text, number or truth values: handed to the provider
        // as one JSON object.
        QJsonObject providerConfiguration;
        friend bool operator==(const Protocol&, const Protocol&) = default;
    };
    std::optional<Protocol> protocol;

    friend bool operator==(const TunnelProfile&, const TunnelProfile&) = default;
};

namespace TunnelProfileCoding {

// Limits that keep one caller from filling the service's disk or memory.
inline constexpr qsizetype maxTextLength = 4096;
inline constexpr qsizetype maxConfigurationEntries = 64;

// Whether `id` is a profile id as the service makes them: a UUID in its
// lower-case text form without braces. Ids name files, so nothing else passes.
bool isValidId(const QString& id);
QString newId();

// The a{sv} form of the bus. `fromBus` reads a caller's profile and says in
// `error` what is wrong with it; the Id key, when present, must be valid.
QVariantMap toBus(const TunnelProfile& profile);
std::optional<TunnelProfile> fromBus(const QVariantMap& map, QString* error);

// The form on disk (snake-case keys).
QByteArray toJson(const TunnelProfile& profile);
std::optional<TunnelProfile> fromJson(const QByteArray& json, QString* error);

} // namespace TunnelProfileCoding
