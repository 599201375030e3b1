#include "service/provider/ConfigBuilder.h"
#include "service/provider/ConfigSchema.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace EffectiveConfig {

namespace {

// What each type of DNS server holds besides its type and tag; the engine
// refuses a member its type does not know. No "hosts" type (it reads files),
// and no interface for "dhcp" (the provider's routing chooses interfaces).
struct ServerType {
    QLatin1StringView type;
    std::initializer_list<QLatin1StringView> fields;
};
constexpr auto remote = {"server"_L1, "server_port"_L1, "detour"_L1, "domain_resolver"_L1};
constexpr auto secure = {"server"_L1, "server_port"_L1, "detour"_L1, "domain_resolver"_L1,
                         "tls"_L1};
constexpr auto overHttp = {"server"_L1, "server_port"_L1, "detour"_L1, "domain_resolver"_L1,
                           "tls"_L1,    "path"_L1,        "headers"_L1};
const ServerType serverTypes[] = {
    {"local"_L1, {}},
    {"dhcp"_L1, {}},
    {"fakeip"_L1, {"inet4_range"_L1, "inet6_range"_L1}},
    {"udp"_L1, remote},
    {"tcp"_L1, remote},
    {"tls"_L1, secure},
    {"quic"_L1, secure},
    {"https"_L1, overHttp},
    {"h3"_L1, overHttp},
};

// The codes a legacy "rcode://" server answered with, by the names the
// engine's "predefined" action takes.
const std::pair<QLatin1StringView, QLatin1StringView> rcodes[] = {
    {"success"_L1, "NOERROR"_L1},         {"format_error"_L1, "FORMERR"_L1},
    {"server_failure"_L1, "SERVFAIL"_L1}, {"name_error"_L1, "NXDOMAIN"_L1},
    {"not_implemented"_L1, "NOTIMP"_L1},  {"refused"_L1, "REFUSED"_L1},
};

bool hasRange(const QJsonObject& object) {
    return object.contains("inet4_range"_L1) || object.contains("inet6_range"_L1);
}

} // namespace

// A server in the typed form, with only what its type holds.
std::optional<QJsonObject> Builder::typedServer(QJsonObject server, const QString& path) {
    const QString type = server.value("type"_L1).toString();
    const auto known = std::find_if(std::begin(serverTypes), std::end(serverTypes),
                                    [&](const ServerType& t) { return t.type == type; });
    if (known == std::end(serverTypes)) {
        leaveOut(path, u"type "_s + type);
        return std::nullopt;
    }
    server = filtered(server, {dnsServerFields()}, path, m_result.leftOut);
    for (auto it = server.begin(); it != server.end();) {
        if (it.key() == u"type" || it.key() == u"tag" || contains(known->fields, it.key())) {
            ++it;
        } else {
            leaveOut(memberPath(path, it.key()));
            it = server.erase(it);
        }
    }
    // A fake-IP server hands out addresses from its block; without one the
    // engine cannot start.
    if (type == u"fakeip" && !hasRange(server)) {
        leaveOut(path, u"a fake-IP server without its address range"_s);
        return std::nullopt;
    }
    return server;
}

// A server in the address form ("tls://1.1.1.1", "local", "fakeip") in the
// typed form that replaced it.
std::optional<QJsonObject> Builder::legacyServer(const QJsonObject& source, const QString& path) {
    const QJsonObject in = filtered(source, {legacyDnsServerFields()}, path, m_result.leftOut);
    const QString tag = in.value("tag"_L1).toString();
    const QString address = in.value("address"_L1).toString();
    QJsonObject server{{"tag"_L1, tag}};
    if (address == u"local") {
        server.insert("type"_L1, "local"_L1);
    } else if (address == u"fakeip") {
        if (m_fakeip.isEmpty()) {
            leaveOut(path, u"a fake-IP server without dns.fakeip"_s);
            return std::nullopt;
        }
        server.insert("type"_L1, "fakeip"_L1);
        for (auto it = m_fakeip.begin(); it != m_fakeip.end(); ++it)
            server.insert(it.key(), it.value());
    } else if (address.startsWith(u"rcode://")) {
        const QStringView code = QStringView(address).mid(8);
        const auto known = std::find_if(std::begin(rcodes), std::end(rcodes),
                                        [&](const auto& rcode) { return rcode.first == code; });
        if (known != std::end(rcodes))
            m_rcodeServers.insert(tag, known->second);
        leaveOut(path, u"an rcode server; rules to it answer with the code instead"_s);
        return std::nullopt;
    } else if (address.startsWith(u"dhcp://")) {
        server.insert("type"_L1, "dhcp"_L1);
    } else {
        // A bare address is plain UDP; a bare IPv6 address has no brackets.
        QString written = address.contains(u"://") ? address : u"udp://"_s + address;
        if (!address.contains(u"://") && address.count(u':') > 1 && !address.startsWith(u'['))
            written = u"udp://["_s + address + u']';
        const QUrl url(written, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || url.host().isEmpty() ||
            !contains(std::initializer_list<QLatin1StringView>{"udp"_L1, "tcp"_L1, "tls"_L1,
                                                               "quic"_L1, "https"_L1, "h3"_L1},
                      scheme)) {
            leaveOut(path, u"address "_s + address);
            return std::nullopt;
        }
        server.insert("type"_L1, scheme);
        server.insert("server"_L1, url.host());
        if (url.port() > 0)
            server.insert("server_port"_L1, url.port());
        if ((scheme == u"https" || scheme == u"h3") && !url.path().isEmpty())
            server.insert("path"_L1, url.path());
    }
    if (in.contains("detour"_L1))
        server.insert("detour"_L1, in.value("detour"_L1));
    if (in.contains("address_resolver"_L1))
        server.insert("domain_resolver"_L1, in.value("address_resolver"_L1));
    // The typed form chooses the strategy per query, not per server.
    for (const QLatin1StringView gone :
         {"address_strategy"_L1, "strategy"_L1, "client_subnet"_L1}) {
        if (in.contains(gone))
            leaveOut(memberPath(path, gone), u"the typed form has no such field"_s);
    }
    return typedServer(server, path);
}

// A server that goes through a missing outbound or resolves its own address
// through a missing server is left out, and so on.
void Builder::dropBrokenServers(QList<QJsonObject>& servers) {
    for (bool changed = true; changed;) {
        changed = false;
        for (qsizetype i = 0; i < servers.size(); ++i) {
            QJsonObject& server = servers[i];
            const bool whole = keepReference(server, "detour"_L1, m_outboundTags) &
                               keepReference(server, "domain_resolver"_L1, m_dnsServerTags);
            if (!whole) {
                leaveOut(u"dns server "_s + server.value("tag"_L1).toString(),
                         u"refers to what was left out"_s);
                m_dnsServerTags.remove(server.value("tag"_L1).toString());
                servers.removeAt(i--);
                changed = true;
            }
        }
    }
}

std::optional<QJsonObject> Builder::buildDns(const QJsonValue& value) {
    if (value.isUndefined())
        return std::nullopt;
    const QJsonObject source = value.toObject();
    if (source.contains("fakeip"_L1)) {
        const QJsonObject fakeip =
            filtered(source.value("fakeip"_L1).toObject(), {legacyFakeipFields()}, u"dns.fakeip"_s,
                     m_result.leftOut);
        if (fakeip.value("enabled"_L1).toBool() && hasRange(fakeip)) {
            m_fakeip = fakeip;
            m_fakeip.remove("enabled"_L1);
        }
    }
    QList<QJsonObject> servers;
    const QJsonArray sourceServers = source.value("servers"_L1).toArray();
    for (qsizetype i = 0; i < sourceServers.size(); ++i) {
        const QString path = elementPath(u"dns.servers"_s, i);
        const QJsonObject server = sourceServers[i].toObject();
        const QJsonValue tag = server.value("tag"_L1);
        if (!tag.isString() || tag.toString().isEmpty() ||
            m_dnsServerTags.contains(tag.toString()) || m_rcodeServers.contains(tag.toString())) {
            leaveOut(path);
            continue;
        }
        std::optional<QJsonObject> kept =
            server.contains("type"_L1) ? typedServer(server, path) : legacyServer(server, path);
        if (!kept)
            continue;
        // Globally routed, lookups follow all other traffic to the edge.
        if (!selective())
            kept->remove("detour"_L1);
        m_dnsServerTags.insert(tag.toString());
        servers.append(*kept);
    }
    dropBrokenServers(servers);
    if (servers.isEmpty())
        return std::nullopt;
    QJsonObject rest = source;
    for (const QLatin1StringView own : {"servers"_L1, "rules"_L1, "final"_L1, "fakeip"_L1})
        rest.remove(own);
    QJsonObject dns = filtered(rest, {dnsFields()}, u"dns"_s, m_result.leftOut);
    QJsonArray serverList;
    for (const QJsonObject& server : std::as_const(servers))
        serverList.append(server);
    dns.insert("servers"_L1, serverList);
    if (selective() && source.contains("rules"_L1))
        dns.insert("rules"_L1, buildRules(source.value("rules"_L1), true, u"dns.rules"_s));
    if (names(source.value("final"_L1), m_dnsServerTags))
        dns.insert("final"_L1, source.value("final"_L1));
    else if (source.contains("final"_L1))
        leaveOut(u"dns.final"_s, u"names what was left out"_s);
    // Globally routed, lookups go through the edge too: the system's own
    // resolver would ask outside the tunnel, and a fake address means nothing
    // to the edge.
    if (!selective()) {
        const auto remote = std::find_if(servers.begin(), servers.end(), [](const QJsonObject& s) {
            return !contains(
                std::initializer_list<QLatin1StringView>{"local"_L1, "dhcp"_L1, "fakeip"_L1},
                s.value("type"_L1).toString());
        });
        if (remote != servers.end())
            dns.insert("final"_L1, remote->value("tag"_L1));
    }
    return dns;
}

} // namespace EffectiveConfig
