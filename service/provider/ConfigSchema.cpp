#include "service/provider/ConfigSchema.h"

using namespace Qt::StringLiterals;

namespace EffectiveConfig {

namespace {

constexpr Need tunnel = Need::tunnel;

constexpr Field utlsFields[] = {{"enabled"_L1, Kind::boolean}, {"fingerprint"_L1}};
constexpr Field realityFields[] = {
    {"enabled"_L1, Kind::boolean}, {"public_key"_L1}, {"short_id"_L1}};
// Inline material only: "config_path" would have the engine read a file.
constexpr Field echFields[] = {{"enabled"_L1, Kind::boolean},
                               {"pq_signature_schemes_enabled"_L1, Kind::boolean},
                               {"dynamic_record_sizing_disabled"_L1, Kind::boolean},
                               {"config"_L1, Kind::texts}};
// Likewise the certificate is taken inline ("certificate"), never from a path.
constexpr Field tlsFields[] = {
    {"enabled"_L1, Kind::boolean},
    {"disable_sni"_L1, Kind::boolean},
    {"server_name"_L1},
    {"insecure"_L1, Kind::boolean},
    {"alpn"_L1, Kind::texts},
    {"min_version"_L1},
    {"max_version"_L1},
    {"cipher_suites"_L1, Kind::texts},
    {"certificate"_L1, Kind::texts},
    {"utls"_L1, Kind::object, utlsFields},
    {"reality"_L1, Kind::object, realityFields},
    {"ech"_L1, Kind::object, echFields},
};
constexpr Field transportFields[] = {
    {"type"_L1},
    {"host"_L1, Kind::texts},
    {"path"_L1},
    {"method"_L1},
    {"headers"_L1, Kind::textMap},
    {"idle_timeout"_L1, Kind::duration},
    {"ping_timeout"_L1, Kind::duration},
    {"max_early_data"_L1, Kind::integer},
    {"early_data_header_name"_L1},
    {"service_name"_L1},
    {"permit_without_stream"_L1, Kind::boolean},
};
constexpr Field brutalFields[] = {
    {"enabled"_L1, Kind::boolean}, {"up_mbps"_L1, Kind::integer}, {"down_mbps"_L1, Kind::integer}};
constexpr Field multiplexFields[] = {
    {"enabled"_L1, Kind::boolean},
    {"protocol"_L1},
    {"max_connections"_L1, Kind::integer},
    {"min_streams"_L1, Kind::integer},
    {"max_streams"_L1, Kind::integer},
    {"padding"_L1, Kind::boolean},
    {"brutal"_L1, Kind::object, brutalFields},
};
constexpr Field obfsFields[] = {{"type"_L1}, {"password"_L1}};
constexpr Field udpOverTcpFields[] = {{"enabled"_L1, Kind::boolean}, {"version"_L1, Kind::integer}};

// Every outbound: its type and tag, and the dial options that choose nothing
// about local interfaces or addresses (the provider's routing decides those).
constexpr Field commonFields[] = {
    {"type"_L1},
    {"tag"_L1},
    {"detour"_L1, Kind::text, {}, tunnel},
    {"connect_timeout"_L1, Kind::duration},
    {"tcp_fast_open"_L1, Kind::boolean},
    {"tcp_multi_path"_L1, Kind::boolean},
    {"udp_fragment"_L1, Kind::boolean},
    {"domain_strategy"_L1},
    {"fallback_delay"_L1, Kind::duration},
};
constexpr Field server = {"server"_L1, Kind::text, {}, tunnel};
constexpr Field serverPort = {"server_port"_L1, Kind::port, {}, tunnel};
constexpr Field uuid = {"uuid"_L1, Kind::text, {}, tunnel};
constexpr Field password = {"password"_L1, Kind::text, {}, tunnel};
constexpr Field tls = {"tls"_L1, Kind::object, tlsFields, tunnel};
constexpr Field transport = {"transport"_L1, Kind::object, transportFields, tunnel};
constexpr Field multiplex = {"multiplex"_L1, Kind::object, multiplexFields};
constexpr Field network = {"network"_L1};
constexpr Field packetEncoding = {"packet_encoding"_L1};

constexpr Field vlessFields[] = {
    server, serverPort, uuid,      {"flow"_L1, Kind::text, {}, tunnel}, network, packetEncoding,
    tls,    transport,  multiplex,
};
constexpr Field vmessFields[] = {
    server,
    serverPort,
    uuid,
    {"security"_L1, Kind::text, {}, tunnel},
    {"alter_id"_L1, Kind::integer, {}, tunnel},
    {"global_padding"_L1, Kind::boolean},
    {"authenticated_length"_L1, Kind::boolean},
    network,
    packetEncoding,
    tls,
    transport,
    multiplex,
};
constexpr Field trojanFields[] = {server, serverPort, password, network, tls, transport, multiplex};
// No "plugin": plugin options may name files.
constexpr Field shadowsocksFields[] = {
    server,    serverPort, {"method"_L1, Kind::text, {}, tunnel},
    password,  network,    {"udp_over_tcp"_L1, Kind::flag, udpOverTcpFields},
    multiplex,
};
constexpr Field hysteria2Fields[] = {
    server,
    serverPort,
    {"server_ports"_L1, Kind::texts, {}, tunnel},
    {"hop_interval"_L1, Kind::duration},
    {"up_mbps"_L1, Kind::integer},
    {"down_mbps"_L1, Kind::integer},
    {"obfs"_L1, Kind::object, obfsFields, tunnel},
    password,
    network,
    tls,
};
constexpr Field tuicFields[] = {
    server,
    serverPort,
    uuid,
    password,
    {"congestion_control"_L1},
    {"udp_relay_mode"_L1},
    {"udp_over_stream"_L1, Kind::boolean},
    {"zero_rtt_handshake"_L1, Kind::boolean},
    {"heartbeat"_L1, Kind::duration},
    network,
    tls,
};
constexpr Field groupFields[] = {
    {"outbounds"_L1, Kind::texts},
    {"default"_L1},
    {"url"_L1},
    {"interval"_L1, Kind::duration},
    {"tolerance"_L1, Kind::integer},
    {"idle_timeout"_L1, Kind::duration},
    {"interrupt_exist_connections"_L1, Kind::boolean},
};
constexpr Field noFields[] = {{"type"_L1}}; // never matched beyond the common ones

// WireGuard, both forms. Nothing that gives the engine a system interface
// ("system_interface", "system", "name", "interface_name") or a local port
// ("listen_port"): the provider's TUN device is the only interface the engine
// may create, and a second one would route beside it.
constexpr Field publicKey = {"public_key"_L1, Kind::text, {}, tunnel};
constexpr Field preSharedKey = {"pre_shared_key"_L1, Kind::text, {}, tunnel};
constexpr Field reserved = {"reserved"_L1, Kind::bytes, {}, tunnel};
constexpr Field allowedIps = {"allowed_ips"_L1, Kind::texts, {}, tunnel};
constexpr Field privateKey = {"private_key"_L1, Kind::text, {}, tunnel};
constexpr Field mtu = {"mtu"_L1, Kind::integer};
constexpr Field legacyPeerFields[] = {server,       serverPort, publicKey,
                                      preSharedKey, allowedIps, reserved};
constexpr Field legacyWireguard[] = {
    server,
    serverPort,
    {"local_address"_L1, Kind::texts, {}, tunnel},
    privateKey,
    {"peer_public_key"_L1, Kind::text, {}, tunnel},
    preSharedKey,
    reserved,
    mtu,
    {"peers"_L1, Kind::objects, legacyPeerFields, tunnel},
};
constexpr Field peerFields[] = {
    {"address"_L1, Kind::text, {}, tunnel},
    {"port"_L1, Kind::port, {}, tunnel},
    publicKey,
    preSharedKey,
    allowedIps,
    {"persistent_keepalive_interval"_L1, Kind::integer},
    reserved,
};
constexpr Field endpoint[] = {
    {"address"_L1, Kind::texts, {}, tunnel},
    privateKey,
    {"peers"_L1, Kind::objects, peerFields, tunnel},
    mtu,
    {"udp_timeout"_L1, Kind::duration},
    {"workers"_L1, Kind::integer},
};

struct OutboundType {
    QLatin1StringView type;
    Fields own;
};
constexpr OutboundType outboundTypes[] = {
    {"vless"_L1, vlessFields},         {"vmess"_L1, vmessFields},
    {"trojan"_L1, trojanFields},       {"shadowsocks"_L1, shadowsocksFields},
    {"hysteria2"_L1, hysteria2Fields}, {"tuic"_L1, tuicFields},
    {"selector"_L1, groupFields},      {"urltest"_L1, groupFields},
    {"direct"_L1, noFields},
};

// What a route or DNS rule may match on. No process, user or Wi-Fi matchers:
// the engine would need more than network privileges for them.
constexpr Field ruleFields[] = {
    {"type"_L1},
    {"mode"_L1},
    {"invert"_L1, Kind::boolean},
    {"action"_L1},
    {"inbound"_L1, Kind::texts},
    {"ip_version"_L1, Kind::integer},
    {"network"_L1, Kind::texts},
    {"protocol"_L1, Kind::texts},
    {"client"_L1, Kind::texts},
    {"domain"_L1, Kind::texts},
    {"domain_suffix"_L1, Kind::texts},
    {"domain_keyword"_L1, Kind::texts},
    {"domain_regex"_L1, Kind::texts},
    {"source_ip_cidr"_L1, Kind::texts},
    {"source_ip_is_private"_L1, Kind::boolean},
    {"ip_cidr"_L1, Kind::texts},
    {"ip_is_private"_L1, Kind::boolean},
    {"source_port"_L1, Kind::ports},
    {"source_port_range"_L1, Kind::texts},
    {"port"_L1, Kind::ports},
    {"port_range"_L1, Kind::texts},
    {"rule_set"_L1, Kind::texts},
    {"rule_set_ip_cidr_match_source"_L1, Kind::boolean},
    {"rule_set_ip_cidr_accept_empty"_L1, Kind::boolean},
};
// What a route rule does: route to an outbound, reject, take over DNS, sniff.
constexpr Field routeRule[] = {
    {"outbound"_L1},
    {"method"_L1},
    {"no_drop"_L1, Kind::boolean},
    {"sniffer"_L1, Kind::texts},
    {"timeout"_L1, Kind::duration},
};
// A DNS rule also matches on the query and the connection's outbound, and
// answers through a server, or with a fixed code.
constexpr Field dnsRule[] = {
    {"query_type"_L1, Kind::names},
    {"outbound"_L1, Kind::texts},
    {"server"_L1},
    {"method"_L1},
    {"disable_cache"_L1, Kind::boolean},
    {"rewrite_ttl"_L1, Kind::integer},
    {"client_subnet"_L1},
    {"rcode"_L1},
};

// A DNS server by type. No "hosts" type: it reads files.
constexpr Field dnsServer[] = {
    {"tag"_L1},
    {"type"_L1},
    server,
    serverPort,
    {"path"_L1, Kind::text, {}, tunnel}, // the URL path of a DNS-over-HTTPS server
    {"headers"_L1, Kind::textMap, {}, tunnel},
    tls,
    {"detour"_L1, Kind::text, {}, tunnel},
    {"domain_resolver"_L1, Kind::text, {}, tunnel},
    {"inet4_range"_L1, Kind::text, {}, tunnel}, // fake-IP
    {"inet6_range"_L1, Kind::text, {}, tunnel},
};
// A DNS server by address ("tls://1.1.1.1", "local"), as older engines read it.
constexpr Field legacyDnsServer[] = {
    {"tag"_L1},
    {"address"_L1, Kind::text, {}, tunnel},
    {"address_resolver"_L1, Kind::text, {}, tunnel},
    {"address_strategy"_L1},
    {"strategy"_L1},
    {"detour"_L1, Kind::text, {}, tunnel},
    {"client_subnet"_L1},
};
constexpr Field dnsScalars[] = {
    {"strategy"_L1},
    {"disable_cache"_L1, Kind::boolean},
    {"disable_expire"_L1, Kind::boolean},
    {"independent_cache"_L1, Kind::boolean},
    {"reverse_mapping"_L1, Kind::boolean},
    {"client_subnet"_L1},
    {"cache_capacity"_L1, Kind::integer},
};
constexpr Field legacyFakeip[] = {
    {"enabled"_L1, Kind::boolean},
    {"inet4_range"_L1, Kind::text, {}, tunnel},
    {"inet6_range"_L1, Kind::text, {}, tunnel},
};

} // namespace

std::optional<Fields> outboundFields(QStringView type) {
    for (const OutboundType& known : outboundTypes) {
        if (known.type == type)
            return known.own;
    }
    return std::nullopt;
}
Fields commonOutboundFields() {
    return commonFields;
}
Fields legacyWireguardFields() {
    return legacyWireguard;
}
Fields endpointFields() {
    return endpoint;
}
Fields ruleMatchFields() {
    return ruleFields;
}
Fields routeRuleFields() {
    return routeRule;
}
Fields dnsRuleFields() {
    return dnsRule;
}
Fields dnsServerFields() {
    return dnsServer;
}
Fields legacyDnsServerFields() {
    return legacyDnsServer;
}
Fields dnsFields() {
    return dnsScalars;
}
Fields legacyFakeipFields() {
    return legacyFakeip;
}

} // namespace EffectiveConfig
