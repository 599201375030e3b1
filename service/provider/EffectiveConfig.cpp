#include "service/provider/EffectiveConfig.h"

#include "shared/coding/JsonCoding.h"

#include <QJsonArray>
#include <QSet>

#include <span>

using namespace Qt::StringLiterals;

namespace EffectiveConfig {

namespace {

// --- the allow-list

enum class Kind {
    scalar,  // text, number or boolean
    scalars, // one scalar or a list of them
    textMap, // an object of text, or of lists of text (HTTP headers)
    object,  // an object, itself filtered by `nested`
};

struct Field {
    QLatin1StringView key;
    Kind kind = Kind::scalar;
    std::span<const Field> nested = {};
};
using Schema = std::span<const Field>;

constexpr Field utlsFields[] = {{"enabled"_L1}, {"fingerprint"_L1}};
constexpr Field realityFields[] = {{"enabled"_L1}, {"public_key"_L1}, {"short_id"_L1}};
// Inline material only: "config_path" would have the engine read a file.
constexpr Field echFields[] = {{"enabled"_L1},
                               {"pq_signature_schemes_enabled"_L1},
                               {"dynamic_record_sizing_disabled"_L1},
                               {"config"_L1, Kind::scalars}};
// Likewise the certificate is taken inline ("certificate"), never from a path.
constexpr Field tlsFields[] = {
    {"enabled"_L1},
    {"disable_sni"_L1},
    {"server_name"_L1},
    {"insecure"_L1},
    {"alpn"_L1, Kind::scalars},
    {"min_version"_L1},
    {"max_version"_L1},
    {"cipher_suites"_L1, Kind::scalars},
    {"certificate"_L1, Kind::scalars},
    {"utls"_L1, Kind::object, utlsFields},
    {"reality"_L1, Kind::object, realityFields},
    {"ech"_L1, Kind::object, echFields},
};
constexpr Field transportFields[] = {
    {"type"_L1},         {"host"_L1, Kind::scalars},    {"path"_L1},
    {"method"_L1},       {"headers"_L1, Kind::textMap}, {"idle_timeout"_L1},
    {"ping_timeout"_L1}, {"max_early_data"_L1},         {"early_data_header_name"_L1},
    {"service_name"_L1}, {"permit_without_stream"_L1},
};
constexpr Field brutalFields[] = {{"enabled"_L1}, {"up_mbps"_L1}, {"down_mbps"_L1}};
constexpr Field multiplexFields[] = {
    {"enabled"_L1},
    {"protocol"_L1},
    {"max_connections"_L1},
    {"min_streams"_L1},
    {"max_streams"_L1},
    {"padding"_L1},
    {"brutal"_L1, Kind::object, brutalFields},
};
constexpr Field obfsFields[] = {{"type"_L1}, {"password"_L1}};

// Every outbound: its type and tag, and the dial options that choose nothing
// about local interfaces or addresses (the provider's routing decides those).
constexpr Field commonFields[] = {
    {"type"_L1},           {"tag"_L1},
    {"detour"_L1},         {"connect_timeout"_L1},
    {"tcp_fast_open"_L1},  {"tcp_multi_path"_L1},
    {"udp_fragment"_L1},   {"domain_strategy"_L1},
    {"fallback_delay"_L1},
};
constexpr Field vlessFields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"uuid"_L1},
    {"flow"_L1},
    {"network"_L1},
    {"packet_encoding"_L1},
    {"tls"_L1, Kind::object, tlsFields},
    {"transport"_L1, Kind::object, transportFields},
    {"multiplex"_L1, Kind::object, multiplexFields},
};
constexpr Field vmessFields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"uuid"_L1},
    {"security"_L1},
    {"alter_id"_L1},
    {"global_padding"_L1},
    {"authenticated_length"_L1},
    {"network"_L1},
    {"packet_encoding"_L1},
    {"tls"_L1, Kind::object, tlsFields},
    {"transport"_L1, Kind::object, transportFields},
    {"multiplex"_L1, Kind::object, multiplexFields},
};
constexpr Field trojanFields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"password"_L1},
    {"network"_L1},
    {"tls"_L1, Kind::object, tlsFields},
    {"transport"_L1, Kind::object, transportFields},
    {"multiplex"_L1, Kind::object, multiplexFields},
};
// No "plugin": plugin options may name files.
constexpr Field shadowsocksFields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"method"_L1},
    {"password"_L1},
    {"network"_L1},
    {"udp_over_tcp"_L1, Kind::scalars},
    {"multiplex"_L1, Kind::object, multiplexFields},
};
constexpr Field hysteria2Fields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"server_ports"_L1, Kind::scalars},
    {"hop_interval"_L1},
    {"up_mbps"_L1},
    {"down_mbps"_L1},
    {"obfs"_L1, Kind::object, obfsFields},
    {"password"_L1},
    {"network"_L1},
    {"tls"_L1, Kind::object, tlsFields},
};
constexpr Field tuicFields[] = {
    {"server"_L1},
    {"server_port"_L1},
    {"uuid"_L1},
    {"password"_L1},
    {"congestion_control"_L1},
    {"udp_relay_mode"_L1},
    {"udp_over_stream"_L1},
    {"zero_rtt_handshake"_L1},
    {"heartbeat"_L1},
    {"network"_L1},
    {"tls"_L1, Kind::object, tlsFields},
};
constexpr Field groupFields[] = {
    {"outbounds"_L1, Kind::scalars},
    {"default"_L1},
    {"url"_L1},
    {"interval"_L1},
    {"tolerance"_L1},
    {"idle_timeout"_L1},
    {"interrupt_exist_connections"_L1},
};
constexpr Field noFields[] = {{"type"_L1}}; // never matched beyond the common ones

struct OutboundType {
    QLatin1StringView type;
    Schema own;
};
constexpr OutboundType outboundTypes[] = {
    {"vless"_L1, vlessFields},
    {"vmess"_L1, vmessFields},
    {"trojan"_L1, trojanFields},
    {"shadowsocks"_L1, shadowsocksFields},
    {"hysteria2"_L1, hysteria2Fields},
    {"tuic"_L1, tuicFields},
    {"selector"_L1, groupFields},
    {"urltest"_L1, groupFields},
    {"direct"_L1, noFields},
    {"block"_L1, noFields},
    {"dns"_L1, noFields},
};

// What a route or DNS rule may match on. No process, user or Wi-Fi matchers:
// the engine would need more than network privileges for them.
constexpr Field ruleFields[] = {
    {"type"_L1},
    {"mode"_L1},
    {"invert"_L1},
    {"action"_L1},
    {"inbound"_L1, Kind::scalars},
    {"ip_version"_L1},
    {"network"_L1, Kind::scalars},
    {"protocol"_L1, Kind::scalars},
    {"client"_L1, Kind::scalars},
    {"domain"_L1, Kind::scalars},
    {"domain_suffix"_L1, Kind::scalars},
    {"domain_keyword"_L1, Kind::scalars},
    {"domain_regex"_L1, Kind::scalars},
    {"source_ip_cidr"_L1, Kind::scalars},
    {"source_ip_is_private"_L1},
    {"ip_cidr"_L1, Kind::scalars},
    {"ip_is_private"_L1},
    {"source_port"_L1, Kind::scalars},
    {"source_port_range"_L1, Kind::scalars},
    {"port"_L1, Kind::scalars},
    {"port_range"_L1, Kind::scalars},
    {"rule_set"_L1, Kind::scalars},
    {"rule_set_ip_cidr_match_source"_L1},
    {"rule_set_ip_cidr_accept_empty"_L1},
};
// What a route rule does: route to an outbound, reject, take over DNS, sniff.
constexpr Field routeRuleFields[] = {
    {"outbound"_L1}, {"method"_L1}, {"no_drop"_L1}, {"sniffer"_L1, Kind::scalars}, {"timeout"_L1},
};
// A DNS rule also matches on the query and the connection's outbound, and
// answers through a server.
constexpr Field dnsRuleFields[] = {
    {"query_type"_L1, Kind::scalars},
    {"outbound"_L1, Kind::scalars},
    {"server"_L1},
    {"method"_L1},
    {"disable_cache"_L1},
    {"rewrite_ttl"_L1},
    {"client_subnet"_L1},
};
constexpr QLatin1StringView routeActions[] = {"route"_L1, "reject"_L1, "hijack-dns"_L1, "sniff"_L1};
constexpr QLatin1StringView dnsActions[] = {"route"_L1, "reject"_L1};

// A DNS server in either of the engine's two forms: by address
// ("tls://1.1.1.1", "local"), or by type. No "hosts" type: it reads files.
constexpr Field dnsServerFields[] = {
    {"tag"_L1},
    {"type"_L1},
    {"address"_L1},
    {"address_resolver"_L1},
    {"address_strategy"_L1},
    {"strategy"_L1},
    {"detour"_L1},
    {"client_subnet"_L1},
    {"server"_L1},
    {"server_port"_L1},
    {"path"_L1}, // the URL path of a DNS-over-HTTPS server
    {"headers"_L1, Kind::textMap},
    {"domain_resolver"_L1},
    {"tls"_L1, Kind::object, tlsFields},
};
constexpr QLatin1StringView dnsServerTypes[] = {"local"_L1, "udp"_L1,   "tcp"_L1, "tls"_L1,
                                                "quic"_L1,  "https"_L1, "h3"_L1};
constexpr Field dnsScalars[] = {
    {"strategy"_L1},          {"disable_cache"_L1},   {"disable_expire"_L1},
    {"independent_cache"_L1}, {"reverse_mapping"_L1}, {"client_subnet"_L1},
};

template <typename List> bool contains(const List& list, QStringView value) {
    return std::find(std::begin(list), std::end(list), value) != std::end(list);
}

bool isScalar(const QJsonValue& value) {
    return value.isString() || value.isDouble() || value.isBool();
}

bool matches(const QJsonValue& value, Kind kind) {
    switch (kind) {
    case Kind::scalar:
        return isScalar(value);
    case Kind::scalars:
        if (isScalar(value))
            return true;
        if (!value.isArray())
            return false;
        for (const QJsonValue element : value.toArray()) {
            if (!isScalar(element))
                return false;
        }
        return true;
    case Kind::textMap:
        if (!value.isObject())
            return false;
        for (const QJsonValue entry : value.toObject()) {
            if (entry.isString())
                continue;
            if (!entry.isArray())
                return false;
            for (const QJsonValue element : entry.toArray()) {
                if (!element.isString())
                    return false;
            }
        }
        return true;
    case Kind::object:
        return value.isObject();
    }
    return false;
}

const Field* findField(std::initializer_list<Schema> schemas, QStringView key) {
    for (const Schema schema : schemas) {
        for (const Field& field : schema) {
            if (field.key == key)
                return &field;
        }
    }
    return nullptr;
}

// Where a member stands in the document, for the log: "outbounds[2].tls".
QString memberPath(const QString& parent, const QString& key) {
    return parent.isEmpty() ? key : parent + u'.' + key;
}
QString elementPath(const QString& parent, qsizetype index) {
    return parent + u'[' + QString::number(index) + u']';
}

// The members of `in` that the schemas allow, with values of the allowed kind.
QJsonObject filtered(const QJsonObject& in, std::initializer_list<Schema> schemas,
                     const QString& path, QStringList& leftOut) {
    QJsonObject out;
    for (auto it = in.begin(); it != in.end(); ++it) {
        const Field* field = findField(schemas, it.key());
        const QString where = memberPath(path, it.key());
        if (!field || !matches(it.value(), field->kind)) {
            leftOut.append(where);
            continue;
        }
        out.insert(it.key(), field->kind == Kind::object
                                 ? QJsonValue(filtered(it.value().toObject(), {field->nested},
                                                       where, leftOut))
                                 : it.value());
    }
    return out;
}

bool names(const QJsonValue& value, const QSet<QString>& known) {
    return value.isString() && known.contains(value.toString());
}

// A member that names one of `known`: kept when it does, else removed.
// True when the member was absent or kept.
bool keepReference(QJsonObject& object, QLatin1StringView key, const QSet<QString>& known) {
    const auto it = object.find(key);
    if (it == object.end())
        return true;
    if (names(*it, known))
        return true;
    object.erase(it);
    return false;
}

// Text or a list of text, as a list; absent for anything else.
std::optional<QStringList> textList(const QJsonValue& value) {
    if (value.isString())
        return QStringList{value.toString()};
    if (!value.isArray())
        return std::nullopt;
    QStringList list;
    for (const QJsonValue element : value.toArray()) {
        if (!element.isString())
            return std::nullopt;
        list.append(element.toString());
    }
    return list;
}

// --- building

class Builder {
public:
    explicit Builder(const Inputs& inputs)
        : m_inputs(inputs) {}

    Result build() {
        const QJsonObject source = parse(m_inputs.lastConfig);
        for (auto it = source.begin(); it != source.end(); ++it) {
            if (it.key() != u"outbounds" && it.key() != u"route" && it.key() != u"dns")
                m_result.leftOut.append(it.key());
        }
        QJsonArray outbounds = buildOutbounds(source.value("outbounds"_L1));
        m_result.edge = chooseEdge(outbounds);
        const bool selective = m_inputs.routing == SharedDefaults::RoutingMode::selective;
        if (selective)
            preferEdgeInSelectors(outbounds);

        // Rule-sets first: the route's rules and DNS rules both refer to them.
        const QJsonObject route = source.value("route"_L1).toObject();
        const QJsonArray rulesets =
            selective ? buildRulesets(route.value("rule_set"_L1)) : QJsonArray{};

        QJsonObject config;
        config.insert("log"_L1, QJsonObject{{"level"_L1, "info"_L1}, {"timestamp"_L1, false}});
        if (const std::optional<QJsonObject> dns = buildDns(source.value("dns"_L1), selective))
            config.insert("dns"_L1, *dns);
        config.insert("inbounds"_L1, QJsonArray{inbound()});
        config.insert("outbounds"_L1, outbounds);
        config.insert("route"_L1, buildRoute(route, rulesets, selective));
        m_result.config = config;
        return std::move(m_result);
    }

private:
    static QJsonObject parse(const QByteArray& bytes) {
        // Read by the strict rules: Qt's own reader lets through text that is
        // no JSON, which the engine might read differently.
        const JsonDecoder decoder;
        try {
            const JsonDocument document(decoder, bytes);
            if (document.root().type() != JsonNode::Type::object)
                throw BuildError("the downloaded configuration is not a JSON object");
            return document.root().toJsonValue().toObject();
        } catch (const DecodingError& error) {
            throw BuildError("the downloaded configuration cannot be read: " +
                             error.description().toStdString());
        }
    }

    QJsonArray buildOutbounds(const QJsonValue& value) {
        if (!value.isArray())
            throw BuildError("the downloaded configuration has no outbounds");
        const QJsonArray source = value.toArray();
        QList<QJsonObject> kept;
        QSet<QString> tags;
        for (qsizetype i = 0; i < source.size(); ++i) {
            const QString path = elementPath(u"outbounds"_s, i);
            const QJsonObject outbound = source[i].toObject();
            const QString type = outbound.value("type"_L1).toString();
            const QString tag = outbound.value("tag"_L1).toString();
            const auto known = std::find_if(std::begin(outboundTypes), std::end(outboundTypes),
                                            [&](const OutboundType& t) { return t.type == type; });
            // The engine refuses two outbounds of one tag; the first is kept.
            if (known == std::end(outboundTypes) || tag.isEmpty() || tags.contains(tag)) {
                m_result.leftOut.append(path);
                continue;
            }
            tags.insert(tag);
            kept.append(filtered(outbound, {commonFields, known->own}, path, m_result.leftOut));
        }
        // Leaving an outbound out breaks what refers to it: a chain through it
        // is left out too (rather than silently going direct), and a group
        // loses it as a member, or goes when none remains.
        for (bool changed = true; changed;) {
            changed = false;
            for (qsizetype i = 0; i < kept.size(); ++i) {
                QJsonObject& outbound = kept[i];
                bool broken = !keepReference(outbound, "detour"_L1, tags);
                if (outbound.contains("outbounds"_L1)) {
                    QStringList members =
                        textList(outbound.value("outbounds"_L1)).value_or(QStringList{});
                    members.removeIf([&](const QString& m) { return !tags.contains(m); });
                    members.removeDuplicates();
                    outbound.insert("outbounds"_L1, QJsonArray::fromStringList(members));
                    broken = broken || members.isEmpty();
                    keepReference(outbound, "default"_L1, QSet(members.begin(), members.end()));
                } else if (outbound.value("type"_L1).toString() == u"selector" ||
                           outbound.value("type"_L1).toString() == u"urltest") {
                    broken = true;
                }
                if (broken) {
                    m_result.leftOut.append(u"outbound "_s + outbound.value("tag"_L1).toString());
                    tags.remove(outbound.value("tag"_L1).toString());
                    kept.removeAt(i--);
                    changed = true;
                }
            }
        }
        m_outboundTags = tags;
        QJsonArray out;
        for (const QJsonObject& outbound : std::as_const(kept))
            out.append(outbound);
        return out;
    }

    // The preferred edge when the configuration still offers it, else the first.
    QString chooseEdge(const QJsonArray& outbounds) const {
        QStringList edges;
        for (const QJsonValue outbound : outbounds) {
            if (outbound["type"_L1].toString() == u"vless" && outbound["server"_L1].isString())
                edges.append(outbound["tag"_L1].toString());
        }
        if (edges.isEmpty())
            throw BuildError("the downloaded configuration names no edge server");
        if (m_inputs.preferredEdge && edges.contains(*m_inputs.preferredEdge))
            return *m_inputs.preferredEdge;
        return edges.first();
    }

    // The configuration's own choice of routes stays; where it lets a group
    // pick among edges, the group starts with the user's edge.
    void preferEdgeInSelectors(QJsonArray& outbounds) const {
        for (qsizetype i = 0; i < outbounds.size(); ++i) {
            QJsonObject outbound = outbounds[i].toObject();
            if (outbound.value("type"_L1).toString() != u"selector" ||
                !outbound.value("outbounds"_L1).toArray().contains(m_result.edge))
                continue;
            outbound.insert("default"_L1, m_result.edge);
            outbounds[i] = outbound;
        }
    }

    QJsonObject inbound() const {
        if (m_inputs.mode == TunnelMode::system) {
            return QJsonObject{
                {"type"_L1, "tun"_L1},
                {"tag"_L1, QLatin1StringView(tunInboundTag)},
                {"interface_name"_L1, QLatin1StringView(tunInterfaceName)},
                {"address"_L1, QJsonArray{"172.19.0.1/30"_L1, "fdfe:dcba:9876::1/126"_L1}},
                {"mtu"_L1, 9000},
                {"auto_route"_L1, true},
                {"strict_route"_L1, true},
                {"stack"_L1, "system"_L1},
            };
        }
        return QJsonObject{
            {"type"_L1, "mixed"_L1},
            {"tag"_L1, QLatin1StringView(proxyInboundTag)},
            {"listen"_L1, "127.0.0.1"_L1},
            {"listen_port"_L1, int(m_inputs.proxyPort)},
        };
    }

    // The configuration's rule-sets, each pointed at the file the app keeps
    // for its tag, whatever type and place the configuration gave it.
    QJsonArray buildRulesets(const QJsonValue& value) {
        QJsonArray out;
        const QJsonArray source = value.toArray();
        for (qsizetype i = 0; i < source.size(); ++i) {
            const QJsonValue tagValue = source[i]["tag"_L1];
            const QString tag = tagValue.toString();
            if (!tagValue.isString() || m_rulesetTags.contains(tag)) {
                m_result.leftOut.append(elementPath(u"route.rule_set"_s, i));
                continue;
            }
            const std::optional<QString> path =
                m_inputs.rulesetPath ? m_inputs.rulesetPath(tag) : std::nullopt;
            if (!path) {
                m_result.missingRulesets.append(tag);
                continue;
            }
            m_rulesetTags.insert(tag);
            m_result.rulesets.append(tag);
            out.append(QJsonObject{{"type"_L1, "local"_L1},
                                   {"tag"_L1, tag},
                                   {"format"_L1, "binary"_L1},
                                   {"path"_L1, *path}});
        }
        return out;
    }

    // A rule as the engine may run it, or absent when it refers to something
    // left out. A rule is never kept in a weakened form: one that matched on
    // a missing rule-set only would otherwise match everything.
    std::optional<QJsonObject> buildRule(const QJsonValue& value, bool dns, int depth) {
        if (!value.isObject() || depth > 4)
            return std::nullopt;
        QStringList ignored; // a rule with fields left out is left out whole
        const QJsonObject source = value.toObject();
        QJsonObject rule =
            filtered(source, {ruleFields, dns ? Schema(dnsRuleFields) : Schema(routeRuleFields)},
                     {}, ignored);
        if (!ignored.isEmpty() && !(ignored == QStringList{u"rules"_s}))
            return std::nullopt;
        const QLatin1StringView target = dns ? "server"_L1 : "outbound"_L1;
        if (depth == 0) {
            const QString action = rule.value("action"_L1).toString(u"route"_s);
            if (dns ? !contains(dnsActions, action) : !contains(routeActions, action))
                return std::nullopt;
            if (action == u"route" &&
                !names(rule.value(target), dns ? m_dnsServerTags : m_outboundTags))
                return std::nullopt;
        } else if (rule.contains("action"_L1) || rule.contains(target)) {
            return std::nullopt; // only the outer rule of a logical one acts
        }
        if (rule.contains("rule_set"_L1)) {
            const std::optional<QStringList> sets = textList(rule.value("rule_set"_L1));
            if (!sets || sets->isEmpty())
                return std::nullopt;
            for (const QString& set : *sets) {
                if (!m_rulesetTags.contains(set))
                    return std::nullopt;
            }
        }
        const QString type = rule.value("type"_L1).toString(u"default"_s);
        if (type == u"logical") {
            const QString mode = rule.value("mode"_L1).toString();
            const QJsonArray members = source.value("rules"_L1).toArray();
            if ((mode != u"and" && mode != u"or") || members.isEmpty())
                return std::nullopt;
            QJsonArray kept;
            for (const QJsonValue member : members) {
                const std::optional<QJsonObject> built = buildRule(member, dns, depth + 1);
                if (!built)
                    return std::nullopt;
                kept.append(*built);
            }
            rule.insert("rules"_L1, kept);
        } else if (type != u"default" || source.contains("rules"_L1)) {
            return std::nullopt;
        }
        return rule;
    }

    QJsonArray buildRules(const QJsonValue& value, bool dns, const QString& path) {
        QJsonArray out;
        const QJsonArray source = value.toArray();
        for (qsizetype i = 0; i < source.size(); ++i) {
            if (const std::optional<QJsonObject> rule = buildRule(source[i], dns, 0))
                out.append(*rule);
            else
                m_result.leftOut.append(elementPath(path, i));
        }
        return out;
    }

    QJsonObject buildRoute(const QJsonObject& source, const QJsonArray& rulesets, bool selective) {
        const QLatin1StringView ours(m_inputs.mode == TunnelMode::system ? tunInboundTag
                                                                         : proxyInboundTag);
        QJsonArray rules{QJsonObject{{"inbound"_L1, ours}, {"action"_L1, "sniff"_L1}}};
        if (m_inputs.mode == TunnelMode::system)
            rules.append(QJsonObject{{"protocol"_L1, "dns"_L1}, {"action"_L1, "hijack-dns"_L1}});
        QJsonObject route;
        if (selective) {
            if (!rulesets.isEmpty())
                route.insert("rule_set"_L1, rulesets);
            for (const QJsonValue rule :
                 buildRules(source.value("rules"_L1), false, u"route.rules"_s))
                rules.append(rule);
            if (names(source.value("final"_L1), m_outboundTags))
                route.insert("final"_L1, source.value("final"_L1));
            else if (source.contains("final"_L1))
                m_result.leftOut.append(u"route.final"_s);
        } else {
            route.insert("final"_L1, m_result.edge);
        }
        route.insert("rules"_L1, rules);
        // Needed with automatic routes, so the engine's own connections leave
        // by the physical interface instead of looping back into the tunnel.
        route.insert("auto_detect_interface"_L1, true);
        for (auto it = source.begin(); it != source.end(); ++it) {
            if (it.key() != u"rules" && it.key() != u"rule_set" && it.key() != u"final")
                m_result.leftOut.append(memberPath(u"route"_s, it.key()));
        }
        return route;
    }

    std::optional<QJsonObject> buildDns(const QJsonValue& value, bool selective) {
        if (value.isUndefined())
            return std::nullopt;
        const QJsonObject source = value.toObject();
        QList<QJsonObject> servers;
        const QJsonArray sourceServers = source.value("servers"_L1).toArray();
        for (qsizetype i = 0; i < sourceServers.size(); ++i) {
            const QString path = elementPath(u"dns.servers"_s, i);
            const QJsonObject server = sourceServers[i].toObject();
            const QString tag = server.value("tag"_L1).toString();
            const QJsonValue type = server.value("type"_L1);
            const bool knownType = type.isUndefined() ||
                                   (type.isString() && contains(dnsServerTypes, type.toString()));
            if (tag.isEmpty() || m_dnsServerTags.contains(tag) || !knownType) {
                m_result.leftOut.append(path);
                continue;
            }
            QJsonObject kept = filtered(server, {dnsServerFields}, path, m_result.leftOut);
            const bool overHttp = type.toString() == u"https" || type.toString() == u"h3";
            if (!overHttp && kept.contains("path"_L1)) {
                kept.remove("path"_L1);
                m_result.leftOut.append(memberPath(path, u"path"_s));
            }
            // Globally routed, lookups follow all other traffic to the edge.
            if (!selective)
                kept.remove("detour"_L1);
            m_dnsServerTags.insert(tag);
            servers.append(kept);
        }
        // A server that goes through a missing outbound or resolves its own
        // address through a missing server is left out, and so on.
        for (bool changed = true; changed;) {
            changed = false;
            for (qsizetype i = 0; i < servers.size(); ++i) {
                QJsonObject& server = servers[i];
                const bool whole = keepReference(server, "detour"_L1, m_outboundTags) &
                                   keepReference(server, "address_resolver"_L1, m_dnsServerTags) &
                                   keepReference(server, "domain_resolver"_L1, m_dnsServerTags);
                if (!whole) {
                    m_result.leftOut.append(u"dns server "_s + server.value("tag"_L1).toString());
                    m_dnsServerTags.remove(server.value("tag"_L1).toString());
                    servers.removeAt(i--);
                    changed = true;
                }
            }
        }
        if (servers.isEmpty())
            return std::nullopt;
        QJsonObject rest = source;
        for (const QLatin1StringView own : {"servers"_L1, "rules"_L1, "final"_L1})
            rest.remove(own);
        QJsonObject dns = filtered(rest, {dnsScalars}, u"dns"_s, m_result.leftOut);
        QJsonArray serverList;
        for (const QJsonObject& server : std::as_const(servers))
            serverList.append(server);
        dns.insert("servers"_L1, serverList);
        if (selective && source.contains("rules"_L1))
            dns.insert("rules"_L1, buildRules(source.value("rules"_L1), true, u"dns.rules"_s));
        if (names(source.value("final"_L1), m_dnsServerTags))
            dns.insert("final"_L1, source.value("final"_L1));
        else if (source.contains("final"_L1))
            m_result.leftOut.append(u"dns.final"_s);
        // Globally routed, lookups go through the edge too: the system's own
        // resolver would ask outside the tunnel.
        if (!selective) {
            const auto remote =
                std::find_if(servers.begin(), servers.end(), [](const QJsonObject& s) {
                    const QString way =
                        s.value("type"_L1).toString(s.value("address"_L1).toString());
                    return way != u"local" && !way.startsWith(u"dhcp");
                });
            if (remote != servers.end())
                dns.insert("final"_L1, remote->value("tag"_L1));
        }
        return dns;
    }

    const Inputs& m_inputs;
    Result m_result;
    QSet<QString> m_outboundTags;
    QSet<QString> m_rulesetTags;
    QSet<QString> m_dnsServerTags;
};

} // namespace

Result build(const Inputs& inputs) {
    return Builder(inputs).build();
}

} // namespace EffectiveConfig
