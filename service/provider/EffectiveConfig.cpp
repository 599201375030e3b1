#include "service/provider/EffectiveConfig.h"

#include "service/provider/ConfigBuilder.h"
#include "service/provider/ConfigSchema.h"
#include "shared/coding/JsonCoding.h"

using namespace Qt::StringLiterals;

namespace EffectiveConfig {

namespace {

constexpr QLatin1StringView routeActions[] = {"route"_L1, "reject"_L1, "hijack-dns"_L1, "sniff"_L1};
constexpr QLatin1StringView dnsActions[] = {"route"_L1, "reject"_L1, "predefined"_L1};
// Matchers on the geo databases the engine no longer reads.
constexpr QLatin1StringView geoMatchers[] = {"geoip"_L1, "geosite"_L1, "source_geoip"_L1};

} // namespace

bool names(const QJsonValue& value, const QSet<QString>& known) {
    return value.isString() && known.contains(value.toString());
}

bool keepReference(QJsonObject& object, QLatin1StringView key, const QSet<QString>& known) {
    const auto it = object.find(key);
    if (it == object.end())
        return true;
    if (names(*it, known))
        return true;
    object.erase(it);
    return false;
}

Result Builder::build() {
    const QJsonObject source = parse(m_inputs.lastConfig);
    for (auto it = source.begin(); it != source.end(); ++it) {
        if (!contains(std::initializer_list<QLatin1StringView>{"outbounds"_L1, "endpoints"_L1,
                                                               "route"_L1, "dns"_L1},
                      it.key()))
            leaveOut(it.key());
    }
    buildOutbounds(source.value("outbounds"_L1), source.value("endpoints"_L1));
    m_result.edge = chooseEdge();
    if (selective())
        preferEdgeInSelectors();

    // Rule-sets first: the route's rules and DNS rules both refer to them.
    const QJsonObject route = source.value("route"_L1).toObject();
    const QJsonArray rulesets =
        selective() ? buildRulesets(route.value("rule_set"_L1)) : QJsonArray{};

    QJsonObject config;
    config.insert("log"_L1, QJsonObject{{"level"_L1, "info"_L1}, {"timestamp"_L1, false}});
    if (const std::optional<QJsonObject> dns = buildDns(source.value("dns"_L1)))
        config.insert("dns"_L1, *dns);
    config.insert("inbounds"_L1, QJsonArray{inbound()});
    QJsonArray outbounds;
    for (const QJsonObject& outbound : std::as_const(m_outbounds))
        outbounds.append(outbound);
    config.insert("outbounds"_L1, outbounds);
    if (!m_endpoints.isEmpty()) {
        QJsonArray endpoints;
        for (const QJsonObject& endpoint : std::as_const(m_endpoints))
            endpoints.append(endpoint);
        config.insert("endpoints"_L1, endpoints);
    }
    config.insert("route"_L1, buildRoute(route, rulesets));
    m_result.config = config;
    return m_result;
}

QJsonObject Builder::parse(const QByteArray& bytes) {
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

QLatin1StringView Builder::ourInbound() const {
    return QLatin1StringView(m_inputs.mode == TunnelMode::system ? tunInboundTag : proxyInboundTag);
}

void Builder::leaveOut(const QString& what, const QString& why) {
    m_result.leftOut.append(why.isEmpty() ? what : what + u" (" + why + u')');
}

QJsonObject Builder::inbound() const {
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

// The configuration's rule-sets, each pointed at the file the app keeps for
// its tag, whatever type and place the configuration gave it.
QJsonArray Builder::buildRulesets(const QJsonValue& value) {
    QJsonArray out;
    const QJsonArray source = value.toArray();
    for (qsizetype i = 0; i < source.size(); ++i) {
        const QJsonValue tagValue = source[i]["tag"_L1];
        const QString tag = tagValue.toString();
        if (!tagValue.isString() || m_rulesetTags.contains(tag)) {
            leaveOut(elementPath(u"route.rule_set"_s, i));
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

// A rule as the engine may run it, or absent (with `why`) when it refers to
// something left out. A rule is never kept in a weakened form: one that
// matched on a missing rule-set or inbound only would otherwise match
// everything. The legacy ways of rejecting and of taking DNS over (rules to
// a block or dns outbound, or to an rcode server) become actions.
std::optional<QJsonObject> Builder::buildRule(const QJsonValue& value, bool dns, int depth,
                                              QString& why) {
    if (!value.isObject() || depth > 4) {
        why = u"not a rule"_s;
        return std::nullopt;
    }
    const QJsonObject source = value.toObject();
    for (const QLatin1StringView geo : geoMatchers) {
        if (source.contains(geo)) {
            why = u"matches on %1, a database sing-box 1.12 removed"_s.arg(geo);
            return std::nullopt;
        }
    }
    QStringList ignored; // a rule with fields left out is left out whole
    QJsonObject rule = filtered(
        source, {ruleMatchFields(), dns ? dnsRuleFields() : routeRuleFields()}, {}, ignored);
    ignored.removeAll(u"rules"_s);
    if (!ignored.isEmpty()) {
        why = u"cannot carry "_s + ignored.join(u", ");
        return std::nullopt;
    }
    const std::optional<QStringList> inbounds = textList(rule.value("inbound"_L1));
    if (rule.contains("inbound"_L1) &&
        (!inbounds || inbounds->isEmpty() ||
         std::any_of(inbounds->begin(), inbounds->end(),
                     [&](const QString& in) { return in != ourInbound(); }))) {
        why = u"matches an inbound the provider does not have"_s;
        return std::nullopt;
    }
    const QLatin1StringView target = dns ? "server"_L1 : "outbound"_L1;
    if (depth == 0) {
        QString action = rule.value("action"_L1).toString(u"route"_s);
        const QString to = rule.value(target).toString();
        if (action == u"route" && !dns && (m_rejectTags.contains(to) || m_hijackTags.contains(to)))
            action = m_rejectTags.contains(to) ? u"reject"_s : u"hijack-dns"_s;
        if (action == u"route" && dns && m_rcodeServers.contains(to)) {
            action = u"predefined"_s;
            rule.insert("rcode"_L1, m_rcodeServers.value(to));
        }
        if (action != rule.value("action"_L1).toString(u"route"_s)) {
            rule.remove(target);
            rule.insert("action"_L1, action);
        }
        if (dns ? !contains(dnsActions, action) : !contains(routeActions, action)) {
            why = u"action "_s + action;
            return std::nullopt;
        }
        if (action == u"route" &&
            !names(rule.value(target), dns ? m_dnsServerTags : m_outboundTags)) {
            why =
                to.isEmpty() ? u"names no way out"_s : u"sends to %1, which was left out"_s.arg(to);
            return std::nullopt;
        }
    } else if (rule.contains("action"_L1) || rule.contains(target)) {
        why = u"only the outer rule of a logical one acts"_s;
        return std::nullopt;
    }
    if (dns && rule.contains("outbound"_L1)) {
        const QStringList outbounds = textList(rule.value("outbound"_L1)).value_or(QStringList{});
        if (outbounds.isEmpty() || std::any_of(outbounds.begin(), outbounds.end(), [&](auto& o) {
                return o != u"any" && !m_outboundTags.contains(o);
            })) {
            why = u"matches an outbound that was left out"_s;
            return std::nullopt;
        }
    }
    if (rule.contains("rule_set"_L1)) {
        const std::optional<QStringList> sets = textList(rule.value("rule_set"_L1));
        if (!sets || sets->isEmpty() ||
            std::any_of(sets->begin(), sets->end(),
                        [&](const QString& set) { return !m_rulesetTags.contains(set); })) {
            why = u"its rule-set is missing"_s;
            return std::nullopt;
        }
    }
    const QString type = rule.value("type"_L1).toString(u"default"_s);
    if (type == u"logical") {
        const QString mode = rule.value("mode"_L1).toString();
        const QJsonArray members = source.value("rules"_L1).toArray();
        if ((mode != u"and" && mode != u"or") || members.isEmpty()) {
            why = u"not a logical rule the engine runs"_s;
            return std::nullopt;
        }
        QJsonArray kept;
        for (const QJsonValue member : members) {
            const std::optional<QJsonObject> built = buildRule(member, dns, depth + 1, why);
            if (!built)
                return std::nullopt;
            kept.append(*built);
        }
        rule.insert("rules"_L1, kept);
    } else if (type != u"default" || source.contains("rules"_L1)) {
        why = u"not a rule the engine runs"_s;
        return std::nullopt;
    }
    return rule;
}

QJsonArray Builder::buildRules(const QJsonValue& value, bool dns, const QString& path) {
    QJsonArray out;
    const QJsonArray source = value.toArray();
    for (qsizetype i = 0; i < source.size(); ++i) {
        QString why;
        if (const std::optional<QJsonObject> rule = buildRule(source[i], dns, 0, why))
            out.append(*rule);
        else
            leaveOut(elementPath(path, i), why);
    }
    return out;
}

QJsonObject Builder::buildRoute(const QJsonObject& source, const QJsonArray& rulesets) {
    QJsonArray rules{QJsonObject{{"inbound"_L1, ourInbound()}, {"action"_L1, "sniff"_L1}}};
    if (m_inputs.mode == TunnelMode::system)
        rules.append(QJsonObject{{"protocol"_L1, "dns"_L1}, {"action"_L1, "hijack-dns"_L1}});
    QJsonObject route;
    // Unmatched traffic always has an explicit way: left unset, the engine
    // would send it to the first outbound, often "direct", outside the
    // tunnel. Globally that is the edge; selectively it is the service's own
    // final when that is still there, else the edge.
    route.insert("final"_L1, m_result.edge);
    if (selective()) {
        if (!rulesets.isEmpty())
            route.insert("rule_set"_L1, rulesets);
        for (const QJsonValue rule : buildRules(source.value("rules"_L1), false, u"route.rules"_s))
            rules.append(rule);
        const QJsonValue final = source.value("final"_L1);
        if (names(final, m_outboundTags)) {
            route.insert("final"_L1, final);
        } else if (names(final, m_rejectTags)) {
            // Everything the service's rules did not match is refused.
            rules.append(QJsonObject{{"inbound"_L1, ourInbound()}, {"action"_L1, "reject"_L1}});
            leaveOut(u"route.final"_s,
                     u"a legacy block outbound; what no rule matches is rejected"_s);
        } else {
            leaveOut(u"route.final"_s,
                     (final.isUndefined() ? u"absent"_s : u"names what was left out"_s) +
                         u"; unmatched traffic goes to the edge "_s + m_result.edge);
        }
    }
    route.insert("rules"_L1, rules);
    // Needed with automatic routes, so the engine's own connections leave by
    // the physical interface instead of looping back into the tunnel.
    route.insert("auto_detect_interface"_L1, true);
    // The tunnel service's firewall knows the engine's own packets by this
    // mark and drops every other packet that does not go through the tunnel.
    if (m_inputs.mode == TunnelMode::system)
        route.insert("default_mark"_L1, qint64(TunnelContract::engineRoutingMark));
    for (auto it = source.begin(); it != source.end(); ++it) {
        const QString key = it.key();
        if (key == u"geoip" || key == u"geosite")
            leaveOut(u"route."_s + key, u"a database sing-box 1.12 removed"_s);
        else if (key != u"rules" && key != u"rule_set" && key != u"final")
            leaveOut(memberPath(u"route"_s, key));
    }
    return route;
}

Result build(const Inputs& inputs) {
    return Builder(inputs).build();
}

} // namespace EffectiveConfig
