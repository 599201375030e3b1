#include "service/tunneld/TunnelProfile.h"

#include "shared/tunnel/TunnelServiceApi.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QJsonDocument>
#include <QUuid>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;
namespace Key = TunnelServiceApi::Key;

namespace TunnelProfileCoding {

namespace {

bool takeText(const QVariantMap& map, QLatin1StringView key, QString* out, QString* error,
              bool required) {
    const auto it = map.constFind(key);
    if (it == map.cend()) {
        if (required)
            *error = key + u" is missing"_s;
        return !required;
    }
    if (it->metaType() != QMetaType::fromType<QString>()) {
        *error = key + u" must be text"_s;
        return false;
    }
    *out = it->toString();
    if (out->size() > maxTextLength) {
        *error = key + u" is too long"_s;
        return false;
    }
    return true;
}

// Integers beyond this lose digits as JSON numbers, so they are not kept.
constexpr qint64 maxExactInteger = qint64(1) << 53;

// A configuration value from the bus as JSON: text, numbers and truth values
// only. A number JSON cannot hold (NaN, an infinity, an integer past 2^53)
// is refused: stored, it would come back as null or as another number.
std::optional<QJsonValue> jsonValue(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::QString:
        if (value.toString().size() > maxTextLength)
            return std::nullopt;
        return QJsonValue(value.toString());
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const qint64 number = value.toLongLong();
        if (number > maxExactInteger || number < -maxExactInteger)
            return std::nullopt;
        return QJsonValue(number);
    }
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(maxExactInteger))
            return std::nullopt;
        return QJsonValue(qint64(value.toULongLong()));
    case QMetaType::Double:
        if (!std::isfinite(value.toDouble()))
            return std::nullopt;
        return QJsonValue(value.toDouble());
    default:
        return std::nullopt;
    }
}

// A stored configuration value is one that can go back on the bus.
bool isPlainValue(const QJsonValue& value) {
    return value.isString() || value.isBool() ||
           (value.isDouble() && std::isfinite(value.toDouble()));
}

std::optional<QJsonObject> configurationFromBus(const QVariant& value, QString* error) {
    QVariantMap map;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        if (argument.currentSignature() != "a{sv}"_L1) {
            *error = Key::providerConfiguration + u" must be a{sv}"_s;
            return std::nullopt;
        }
        argument >> map;
    } else if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        map = value.toMap();
    } else {
        *error = Key::providerConfiguration + u" must be a{sv}"_s;
        return std::nullopt;
    }
    if (map.size() > maxConfigurationEntries) {
        *error = Key::providerConfiguration + u" has too many entries"_s;
        return std::nullopt;
    }
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const std::optional<QJsonValue> json = jsonValue(it.value());
        if (it.key().size() > maxTextLength || !json) {
            // The key is the caller's text: it is not repeated back, nor logged.
            *error = Key::providerConfiguration +
                     u" holds a value that is not text, a finite number or a truth value, or "
                     u"is too long"_s;
            return std::nullopt;
        }
        object.insert(it.key(), *json);
    }
    return object;
}

} // namespace

bool isValidId(const QString& id) {
    const QUuid uuid = QUuid::fromString(id);
    return !uuid.isNull() && uuid.toString(QUuid::WithoutBraces) == id;
}

QString newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QVariantMap toBus(const TunnelProfile& profile) {
    QVariantMap map{
        {Key::id, profile.id},
        {Key::localizedDescription, profile.localizedDescription},
        {Key::enabled, profile.enabled},
    };
    if (profile.protocol) {
        map.insert(Key::providerBundleIdentifier, profile.protocol->providerBundleIdentifier);
        map.insert(Key::serverAddress, profile.protocol->serverAddress);
        // Built entry by entry: libdbus aborts the whole service on a value
        // it cannot send, so only text, truth values and numbers go out.
        QVariantMap configuration;
        const QJsonObject& entries = profile.protocol->providerConfiguration;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (isPlainValue(it.value()))
                configuration.insert(it.key(), it.value().toVariant());
        }
        map.insert(Key::providerConfiguration, configuration);
    }
    return map;
}

std::optional<TunnelProfile> fromBus(const QVariantMap& map, QString* error) {
    static const QStringList known{Key::id,
                                   Key::status,
                                   Key::localizedDescription,
                                   Key::enabled,
                                   Key::providerBundleIdentifier,
                                   Key::serverAddress,
                                   Key::providerConfiguration};
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!known.contains(it.key())) {
            *error = u"unknown profile field"_s;
            return std::nullopt;
        }
    }
    TunnelProfile profile;
    if (!takeText(map, Key::id, &profile.id, error, false))
        return std::nullopt;
    if (!profile.id.isEmpty() && !isValidId(profile.id)) {
        *error = u"Id is not a profile id"_s;
        return std::nullopt;
    }
    if (!takeText(map, Key::localizedDescription, &profile.localizedDescription, error, true))
        return std::nullopt;
    const QVariant enabled = map.value(Key::enabled);
    if (enabled.metaType() != QMetaType::fromType<bool>()) {
        *error = Key::enabled + u" must be a truth value"_s;
        return std::nullopt;
    }
    profile.enabled = enabled.toBool();

    const bool hasProtocol = map.contains(Key::providerBundleIdentifier) ||
                             map.contains(Key::serverAddress) ||
                             map.contains(Key::providerConfiguration);
    if (!hasProtocol)
        return profile;
    TunnelProfile::Protocol protocol;
    if (!takeText(map, Key::providerBundleIdentifier, &protocol.providerBundleIdentifier, error,
                  true) ||
        !takeText(map, Key::serverAddress, &protocol.serverAddress, error, false))
        return std::nullopt;
    if (const auto it = map.constFind(Key::providerConfiguration); it != map.cend()) {
        std::optional<QJsonObject> configuration = configurationFromBus(*it, error);
        if (!configuration)
            return std::nullopt;
        protocol.providerConfiguration = std::move(*configuration);
    }
    profile.protocol = std::move(protocol);
    return profile;
}

QByteArray toJson(const TunnelProfile& profile) {
    QJsonObject object{
        {u"id"_s, profile.id},
        {u"localized_description"_s, profile.localizedDescription},
        {u"enabled"_s, profile.enabled},
    };
    if (profile.protocol) {
        object.insert(
            u"protocol"_s,
            QJsonObject{
                {u"provider_bundle_identifier"_s, profile.protocol->providerBundleIdentifier},
                {u"server_address"_s, profile.protocol->serverAddress},
                {u"provider_configuration"_s, profile.protocol->providerConfiguration},
            });
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<TunnelProfile> fromJson(const QByteArray& json, QString* error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : u"not a JSON object"_s;
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    TunnelProfile profile;
    const QJsonValue id = object.value(u"id"_s);
    const QJsonValue description = object.value(u"localized_description"_s);
    const QJsonValue enabled = object.value(u"enabled"_s);
    if (!id.isString() || !isValidId(id.toString()) || !description.isString() ||
        !enabled.isBool()) {
        *error = u"id, localized_description or enabled missing or of the wrong kind"_s;
        return std::nullopt;
    }
    profile.id = id.toString();
    profile.localizedDescription = description.toString();
    profile.enabled = enabled.toBool();
    if (const QJsonValue protocol = object.value(u"protocol"_s); !protocol.isUndefined()) {
        const QJsonObject p = protocol.toObject();
        const QJsonValue bundle = p.value(u"provider_bundle_identifier"_s);
        const QJsonValue server = p.value(u"server_address"_s);
        const QJsonValue configuration = p.value(u"provider_configuration"_s);
        if (!protocol.isObject() || !bundle.isString() || !server.isString() ||
            !configuration.isObject()) {
            *error = u"protocol missing fields or of the wrong kind"_s;
            return std::nullopt;
        }
        const QJsonObject entries = configuration.toObject();
        if (!std::all_of(entries.begin(), entries.end(), isPlainValue)) {
            *error = u"provider_configuration holds a value that cannot be sent"_s;
            return std::nullopt;
        }
        profile.protocol = TunnelProfile::Protocol{bundle.toString(), server.toString(), entries};
    }
    return profile;
}

} // namespace TunnelProfileCoding
