#pragma once

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <span>

// The allow-list the engine's configuration is built from: for each place in
// the service's configuration, the fields carried over and the type each must
// have. The engine refuses a configuration with a value of the wrong type, so
// types are checked here, where the error can still name the place.
namespace EffectiveConfig {

enum class Kind {
    text,
    integer, // a whole number, 0 or more
    port,    // a whole number, 1 to 65535
    boolean,
    duration, // text such as "30s" or "1m30s"
    texts,    // text or a list of text
    ports,    // a port or a list of them
    textMap,  // an object of text, or of lists of text (HTTP headers)
    bytes,    // base64 text or a list of whole numbers 0-255 (WireGuard "reserved")
    flag,     // true or false, or an object filtered by `nested`
    names,    // text, whole numbers, or a list of them (DNS query types)
    object,   // an object, itself filtered by `nested`
    objects,  // a list of objects, each filtered by `nested`
};

// A value of the wrong type in a field the tunnel needs (where and how it
// connects: server, port, credentials, TLS, transport) fails the build: the
// engine would refuse it, or connect somewhere else. One in a field that only
// tunes (timeouts, multiplexing, group tuning) is left out with a log entry.
enum class Need { tuning, tunnel };

struct Field {
    QLatin1StringView key;
    Kind kind = Kind::text;
    std::span<const Field> nested = {};
    Need need = Need::tuning;
};
using Fields = std::span<const Field>;

// What an outbound of `type` may hold besides the common dial fields; absent
// for a type the builder does not carry over.
std::optional<Fields> outboundFields(QStringView type);
Fields commonOutboundFields();
Fields legacyWireguardFields();
Fields endpointFields(); // a "wireguard" endpoint
Fields ruleMatchFields();
Fields routeRuleFields();
Fields dnsRuleFields();
Fields dnsServerFields();       // the typed form
Fields legacyDnsServerFields(); // the "address" form, before translation
Fields dnsFields();             // dns's own scalars
Fields legacyFakeipFields();    // dns.fakeip

// The members of `in` that `schemas` allow, with values of the allowed kind.
// Throws BuildError for a value of the wrong kind in a field of Need::tunnel
// (or anywhere inside one); leaves any other member out, noting it in `leftOut`.
QJsonObject filtered(const QJsonObject& in, std::initializer_list<Fields> schemas,
                     const QString& path, QStringList& leftOut);

// Where a member stands in the document, for the log: "outbounds[2].tls".
QString memberPath(const QString& parent, const QString& key);
QString elementPath(const QString& parent, qsizetype index);

// Text or a list of text, as a list; absent for anything else.
std::optional<QStringList> textList(const QJsonValue& value);

template <typename List, typename Value> bool contains(const List& list, const Value& value) {
    return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

} // namespace EffectiveConfig
