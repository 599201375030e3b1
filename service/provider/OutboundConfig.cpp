#include "service/provider/ConfigBuilder.h"
#include "service/provider/ConfigSchema.h"

using namespace Qt::StringLiterals;

namespace EffectiveConfig {

namespace {

// A WireGuard endpoint the engine can bring up: its own address and key, and
// peers it can reach.
bool usableWireguard(const QJsonObject& endpoint) {
    const QJsonArray peers = endpoint.value("peers"_L1).toArray();
    const auto reachable = [](const QJsonValue& peer) {
        return peer["address"_L1].isString() && peer["port"_L1].isDouble() &&
               peer["public_key"_L1].isString();
    };
    return !textList(endpoint.value("address"_L1)).value_or(QStringList{}).isEmpty() &&
           endpoint.value("private_key"_L1).isString() && !peers.isEmpty() &&
           std::all_of(peers.begin(), peers.end(), reachable);
}

// A legacy peer in the endpoint's terms; without allowed IPs it takes all.
QJsonObject endpointPeer(const QJsonObject& legacy, QLatin1StringView publicKey) {
    QJsonObject peer;
    const std::pair<QLatin1StringView, QLatin1StringView> renamed[] = {
        {"server"_L1, "address"_L1},          {"server_port"_L1, "port"_L1},
        {publicKey, "public_key"_L1},         {"pre_shared_key"_L1, "pre_shared_key"_L1},
        {"allowed_ips"_L1, "allowed_ips"_L1}, {"reserved"_L1, "reserved"_L1},
    };
    for (const auto& [from, to] : renamed) {
        if (legacy.contains(from))
            peer.insert(to, legacy.value(from));
    }
    if (!peer.contains("allowed_ips"_L1))
        peer.insert("allowed_ips"_L1, QJsonArray{"0.0.0.0/0"_L1, "::/0"_L1});
    return peer;
}

QStringList groupMembers(const QJsonObject& outbound) {
    return textList(outbound.value("outbounds"_L1)).value_or(QStringList{});
}

} // namespace

void Builder::buildOutbounds(const QJsonValue& value, const QJsonValue& endpoints) {
    if (!value.isArray())
        throw BuildError("the downloaded configuration has no outbounds");
    QSet<QString> seen;
    // The engine refuses two outbounds or endpoints of one tag; the first is kept.
    const auto claim = [&](const QJsonObject& item, const QString& path) {
        const QString tag = item.value("tag"_L1).toString();
        if (tag.isEmpty() || seen.contains(tag)) {
            leaveOut(path);
            return false;
        }
        seen.insert(tag);
        return true;
    };
    const QJsonArray source = value.toArray();
    for (qsizetype i = 0; i < source.size(); ++i) {
        const QString path = elementPath(u"outbounds"_s, i);
        const QJsonObject outbound = source[i].toObject();
        const QString type = outbound.value("type"_L1).toString();
        const std::optional<Fields> own = outboundFields(type);
        const bool legacy = type == u"block" || type == u"dns" || type == u"wireguard";
        if ((!own && !legacy) || !claim(outbound, path)) {
            if (!own && !legacy)
                leaveOut(path);
            continue;
        }
        const QString tag = outbound.value("tag"_L1).toString();
        // The engine no longer has the special outbounds: what was sent to
        // them becomes a rule action.
        if (type == u"block") {
            m_rejectTags.insert(tag);
            leaveOut(path, u"a legacy block outbound; rules to it reject instead"_s);
        } else if (type == u"dns") {
            m_hijackTags.insert(tag);
            leaveOut(path, u"a legacy dns outbound; rules to it take DNS over instead"_s);
        } else if (type == u"wireguard") {
            if (const std::optional<QJsonObject> endpoint = endpointFromOutbound(outbound, path))
                m_endpoints.append(*endpoint);
        } else {
            m_outbounds.append(
                filtered(outbound, {commonOutboundFields(), *own}, path, m_result.leftOut));
        }
    }
    const QJsonArray sourceEndpoints = endpoints.toArray();
    for (qsizetype i = 0; i < sourceEndpoints.size(); ++i) {
        const QString path = elementPath(u"endpoints"_s, i);
        const QJsonObject endpoint = sourceEndpoints[i].toObject();
        if (endpoint.value("type"_L1).toString() != u"wireguard") {
            leaveOut(path);
            continue;
        }
        if (!claim(endpoint, path))
            continue;
        QJsonObject kept =
            filtered(endpoint, {commonOutboundFields(), endpointFields()}, path, m_result.leftOut);
        if (usableWireguard(kept))
            m_endpoints.append(kept);
        else
            leaveOut(path, u"no address, private key or reachable peer"_s);
    }
    for (const QList<QJsonObject>* list : {&m_outbounds, &m_endpoints}) {
        for (const QJsonObject& item : *list)
            m_outboundTags.insert(item.value("tag"_L1).toString());
    }
    dropBrokenReferences();
}

// The legacy WireGuard outbound as the endpoint that replaced it: one peer
// from its own server and key, or its list of peers.
std::optional<QJsonObject> Builder::endpointFromOutbound(const QJsonObject& legacy,
                                                         const QString& path) {
    const QJsonObject in =
        filtered(legacy, {commonOutboundFields(), legacyWireguardFields()}, path, m_result.leftOut);
    QJsonObject endpoint;
    for (const Field& common : commonOutboundFields()) {
        if (in.contains(common.key))
            endpoint.insert(common.key, in.value(common.key));
    }
    if (in.contains("local_address"_L1)) {
        endpoint.insert("address"_L1,
                        QJsonArray::fromStringList(*textList(in.value("local_address"_L1))));
    }
    for (const QLatin1StringView key : {"private_key"_L1, "mtu"_L1}) {
        if (in.contains(key))
            endpoint.insert(key, in.value(key));
    }
    QJsonArray peers;
    if (in.contains("peers"_L1)) {
        for (const QJsonValue peer : in.value("peers"_L1).toArray())
            peers.append(endpointPeer(peer.toObject(), "public_key"_L1));
    } else {
        peers.append(endpointPeer(in, "peer_public_key"_L1));
    }
    endpoint.insert("peers"_L1, peers);
    if (!usableWireguard(endpoint)) {
        leaveOut(path, u"no address, private key or reachable peer"_s);
        return std::nullopt;
    }
    return endpoint;
}

// Leaving an outbound out breaks what refers to it: a chain through it is
// left out too (rather than silently going direct), and a group loses it as
// a member, or goes when none remains.
void Builder::dropBrokenReferences() {
    QHash<QString, QString> types;
    for (const QJsonObject& outbound : std::as_const(m_outbounds))
        types.insert(outbound.value("tag"_L1).toString(), outbound.value("type"_L1).toString());
    for (bool changed = true; changed;) {
        changed = false;
        for (QList<QJsonObject>* list : {&m_outbounds, &m_endpoints}) {
            for (qsizetype i = 0; i < list->size(); ++i) {
                QJsonObject& item = (*list)[i];
                const QString tag = item.value("tag"_L1).toString();
                const QString type = item.value("type"_L1).toString();
                bool broken = !keepReference(item, "detour"_L1, m_outboundTags);
                if (type == u"selector" || type == u"urltest") {
                    QStringList members = groupMembers(item);
                    members.removeIf([&](const QString& m) { return !m_outboundTags.contains(m); });
                    members.removeDuplicates();
                    item.insert("outbounds"_L1, QJsonArray::fromStringList(members));
                    broken = broken || members.isEmpty();
                    // Without its default the engine starts a group on its
                    // first member, which may be the way out of the tunnel:
                    // start it on the first that is not.
                    if (!broken &&
                        !keepReference(item, "default"_L1, {members.begin(), members.end()})) {
                        const auto inside =
                            std::find_if(members.begin(), members.end(), [&](const QString& m) {
                                return types.value(m) != u"direct";
                            });
                        if (inside != members.end())
                            item.insert("default"_L1, *inside);
                        leaveOut(u"outbound "_s + tag + u".default"_s,
                                 u"names what was left out"_s);
                    }
                }
                if (broken) {
                    leaveOut(u"outbound "_s + tag, u"refers to what was left out"_s);
                    m_outboundTags.remove(tag);
                    list->removeAt(i--);
                    changed = true;
                }
            }
        }
    }
}

// The preferred edge when the configuration still offers it, else the first.
QString Builder::chooseEdge() const {
    QStringList edges;
    for (const QJsonObject& outbound : m_outbounds) {
        if (outbound["type"_L1].toString() == u"vless" && outbound["server"_L1].isString())
            edges.append(outbound["tag"_L1].toString());
    }
    if (edges.isEmpty())
        throw BuildError("the downloaded configuration names no edge server");
    if (m_inputs.preferredEdge && edges.contains(*m_inputs.preferredEdge))
        return *m_inputs.preferredEdge;
    return edges.first();
}

// The configuration's own choice of routes stays; where it lets a group pick
// among edges, the group starts with the user's edge.
void Builder::preferEdgeInSelectors() {
    for (QJsonObject& outbound : m_outbounds) {
        if (outbound.value("type"_L1).toString() == u"selector" &&
            groupMembers(outbound).contains(m_result.edge))
            outbound.insert("default"_L1, m_result.edge);
    }
}

} // namespace EffectiveConfig
