#include "service/provider/EffectiveConfig.h"

#include "shared/rulesets/RulesetCache.h"
#include "tests/service/ServiceConfig.h"
#include "tests/support/QtPrinters.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using EffectiveConfig::TunnelMode;
using RoutingMode = SharedDefaults::RoutingMode;

namespace {

QByteArray bytes(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

EffectiveConfig::Inputs inputsFor(const QJsonObject& config,
                                  RoutingMode routing = RoutingMode::selective,
                                  TunnelMode mode = TunnelMode::system) {
    EffectiveConfig::Inputs inputs;
    inputs.lastConfig = bytes(config);
    inputs.routing = routing;
    inputs.mode = mode;
    inputs.proxyPort = 47833;
    inputs.rulesetPath = [](const QString& tag) { return RulesetCache::localURL(tag); };
    return inputs;
}

// `config` with `patch` merged into its top level, its "route" or "dns", or
// one of its outbounds ("outbounds[1]").
QJsonObject patched(QJsonObject config, const QString& path, const QJsonObject& patch) {
    const qsizetype index = path.startsWith(u"outbounds[") ? path.mid(10).chopped(1).toInt() : -1;
    QJsonArray outbounds = config["outbounds"_L1].toArray();
    QJsonObject target = path.isEmpty() ? config
                         : index >= 0   ? outbounds[index].toObject()
                                        : config[path].toObject();
    for (auto it = patch.begin(); it != patch.end(); ++it)
        target.insert(it.key(), it.value());
    if (path.isEmpty())
        return target;
    if (index >= 0)
        outbounds[index] = target;
    config.insert(index >= 0 ? u"outbounds"_s : path, index >= 0 ? QJsonValue(outbounds) : target);
    return config;
}

QJsonArray parsed(const char* json) {
    return QJsonDocument::fromJson(json).array();
}

// Whatever the service writes into these places, nothing of it reaches the
// engine that would read or write a file or listen where the service says;
// the edges stay usable.
TEST(EffectiveConfig, HostileFieldsNeverReachTheEngine) {
    struct Case {
        const char* what;
        const char* path;  // where the patch is merged in
        const char* patch; // JSON object
        const char* forbidden;
    };
    const Case cases[] = {
        {"log file", "", R"({"log": {"output": "/root/.bashrc"}})", "/root/.bashrc"},
        {"cache file", "",
         R"({"experimental": {"cache_file": {"enabled": true, "path": "/etc/cron.d/x"}}})",
         "/etc/cron.d/x"},
        {"clash API", "",
         R"({"experimental": {"clash_api": {"external_controller": "0.0.0.0:9090",
                                            "external_ui": "/var/www"}}})",
         "9090"},
        {"v2ray API", "", R"({"experimental": {"v2ray_api": {"listen": "0.0.0.0:8081"}}})", "8081"},
        {"certificate path", "outbounds[1]",
         R"({"tls": {"enabled": true, "certificate_path": "/etc/shadow"}})", "/etc/shadow"},
        {"ECH config path", "outbounds[1]",
         R"({"tls": {"enabled": true, "ech": {"enabled": true, "config_path": "/etc/ech"}}})",
         "/etc/ech"},
        {"client key path", "outbounds[2]", R"({"tls": {"key_path": "/etc/ssl/k.pem"}})",
         "/etc/ssl/k.pem"},
        {"their own inbound", "",
         R"({"inbounds": [{"type": "mixed", "listen": "0.0.0.0", "listen_port": 1080}]})",
         "0.0.0.0"},
        {"a bound interface", "outbounds[2]", R"({"bind_interface": "eth9"})", "eth9"},
        {"geo database", "route",
         R"({"geoip": {"path": "/etc/geoip.db", "download_url": "http://x/"}})", "/etc/geoip.db"},
        {"hosts file DNS", "dns",
         R"({"servers": [{"tag": "h", "type": "hosts", "path": ["/etc/hosts"]}]})", "/etc/hosts"},
        {"DNS path on a plain server", "dns",
         R"({"servers": [{"tag": "u", "type": "udp", "server": "1.1.1.1", "path": "/etc/u"}]})",
         "/etc/u"},
        {"plugin options", "",
         R"({"outbounds": [{"type": "vless", "tag": "e", "server": "s"},
                           {"type": "shadowsocks", "tag": "ss", "server": "s",
                            "plugin": "v2ray-plugin", "plugin_opts": "cert=/etc/plugin.pem"}]})",
         "/etc/plugin.pem"},
        {"an unknown outbound type", "",
         R"({"outbounds": [{"type": "vless", "tag": "e", "server": "s"},
                           {"type": "tor", "tag": "t", "data_directory": "/var/lib/tor"}]})",
         "/var/lib/tor"},
    };
    for (const Case& c : cases) {
        const QJsonObject config =
            patched(serviceConfig(), QLatin1StringView(c.path), object(c.patch));
        const QByteArray out = bytes(EffectiveConfig::build(inputsFor(config)).config);
        EXPECT_FALSE(out.contains(c.forbidden)) << c.what << ": " << out.constData();
        EXPECT_TRUE(out.contains(R"("server":")")) << c.what;
    }
}

// Every rule-set is read from the app's cache, whatever the service says;
// one that cannot be there is left out with the rules that need it, since a
// rule without its rule-set would match everything.
TEST(EffectiveConfig, RuleSetsComeFromTheCacheOrNotAtAll) {
    QJsonObject config = serviceConfig();
    config = patched(config, u"route"_s, object(R"({
        "rule_set": [
          {"type": "local", "tag": "messengers", "path": "/etc/passwd"},
          {"type": "remote", "tag": "../../etc/youtube", "url": "http://evil/y.srs"},
          {"type": "inline", "tag": "youtube", "rules": []}
        ],
        "rules": [
          {"rule_set": ["messengers", "../../etc/youtube"], "outbound": "proxy"},
          {"rule_set": "youtube", "outbound": "proxy"},
          {"type": "logical", "mode": "and", "outbound": "proxy",
           "rules": [{"rule_set": "nowhere"}, {"port": 443}]}
        ]})"));
    EffectiveConfig::Inputs inputs = inputsFor(config);
    inputs.rulesetPath = [](const QString& tag) {
        return tag == u"youtube" ? std::nullopt : RulesetCache::localURL(tag);
    };
    const EffectiveConfig::Result result = EffectiveConfig::build(inputs);
    const QJsonObject route = result.config["route"_L1].toObject();
    const QJsonArray sets = route["rule_set"_L1].toArray();
    ASSERT_EQ(sets.size(), 1);
    QJsonObject expected = object(R"({"type": "local", "tag": "messengers", "format": "binary"})");
    expected.insert("path"_L1, *RulesetCache::localURL(u"messengers"_s));
    EXPECT_EQ(sets[0].toObject(), expected);
    EXPECT_EQ(result.missingRulesets, (QStringList{u"../../etc/youtube"_s, u"youtube"_s}));
    // Only the provider's own rules are left, and the DNS rule on the set kept.
    EXPECT_EQ(route["rules"_L1].toArray().size(), 2);
    EXPECT_EQ(result.config["dns"_L1]["rules"_L1].toArray().size(), 1);
    EXPECT_FALSE(bytes(result.config).contains("evil"));
}

// Global routing sends everything to the preferred edge, or to the first one
// when the configuration no longer has it; selective keeps the service's
// rules and starts its edge group on the preferred edge. The inbound is the
// provider's own: a TUN device with automatic routes in system mode, with DNS
// taken over, or a loopback-only proxy in session mode.
TEST(EffectiveConfig, RoutingModeAndPreferredEdge) {
    struct Case {
        TunnelMode mode;
        RoutingMode routing;
        std::optional<QString> preferred;
        QString edge;
        QJsonValue final;
        qsizetype rules; // the provider's own and the service's
    };
    const TunnelMode system = TunnelMode::system, session = TunnelMode::session;
    const Case cases[] = {
        {system, RoutingMode::global, u"de-fra-1"_s, u"de-fra-1"_s, u"de-fra-1"_s, 2},
        {session, RoutingMode::global, u"gone-1"_s, u"nl-ams-1"_s, u"nl-ams-1"_s, 1},
        {system, RoutingMode::global, u"direct"_s, u"nl-ams-1"_s, u"nl-ams-1"_s, 2},
        {session, RoutingMode::global, std::nullopt, u"nl-ams-1"_s, u"nl-ams-1"_s, 1},
        {system, RoutingMode::selective, u"de-fra-1"_s, u"de-fra-1"_s, u"direct"_s, 5},
        {session, RoutingMode::selective, u"gone-1"_s, u"nl-ams-1"_s, u"direct"_s, 4},
    };
    for (const Case& c : cases) {
        EffectiveConfig::Inputs inputs = inputsFor(serviceConfig(), c.routing, c.mode);
        inputs.preferredEdge = c.preferred;
        const EffectiveConfig::Result result = EffectiveConfig::build(inputs);
        const QJsonObject route = result.config["route"_L1].toObject();
        const auto label = c.preferred.value_or(u"none"_s).toStdString();
        EXPECT_EQ(result.edge, c.edge) << label;
        EXPECT_EQ(route["final"_L1], c.final) << label;
        EXPECT_EQ(route["rules"_L1].toArray().size(), c.rules) << label;
        const QJsonArray inbounds = result.config["inbounds"_L1].toArray();
        EXPECT_EQ(inbounds.size(), 1) << label;
        EXPECT_EQ(inbounds[0].toObject(), c.mode == system
                                              ? object(R"({"type": "tun", "tag": "tun-in",
                                        "interface_name": "halvoran0",
                                        "address": ["172.19.0.1/30", "fdfe:dcba:9876::1/126"],
                                        "mtu": 9000, "auto_route": true, "strict_route": true,
                                        "stack": "system"})")
                                              : object(R"({"type": "mixed", "tag": "mixed-in",
                                        "listen": "127.0.0.1", "listen_port": 47833})"))
            << label;
        EXPECT_EQ(route.contains("rule_set"_L1), c.routing == RoutingMode::selective) << label;
        EXPECT_EQ(result.config["outbounds"_L1][0]["default"_L1].toString(),
                  c.routing == RoutingMode::selective ? c.edge : u"nl-ams-1"_s)
            << label;
        // Globally, lookups follow everything else to the edge.
        const QJsonObject dns = result.config["dns"_L1].toObject();
        EXPECT_EQ(dns["servers"_L1][0].toObject().contains("detour"_L1),
                  c.routing == RoutingMode::selective)
            << label;
        EXPECT_EQ(dns["final"_L1], c.routing == RoutingMode::selective ? u"local"_s : u"remote"_s)
            << label;
    }
}

// What is left out takes what depends on it along: a chain through a missing
// outbound, a group with no member left, rules and DNS servers that use them.
TEST(EffectiveConfig, ReferencesToWhatWasLeftOutGoWithIt) {
    QJsonObject config = serviceConfig();
    config.insert("outbounds"_L1, parsed(R"([
        {"type":"vless","tag":"e","server":"s"},
        {"type":"vless","tag":"e","server":"duplicate"},
        {"type":"socks","tag":"s5","server":"127.0.0.1"},
        {"type":"vless","tag":"chained","server":"c","detour":"s5"},
        {"type":"selector","tag":"proxy","outbounds":["chained","s5"],"default":"s5"},
        {"type":"urltest","tag":"auto","outbounds":["e","proxy"]},
        {"type":"direct","tag":"direct"}])"));
    const EffectiveConfig::Result result = EffectiveConfig::build(inputsFor(config));
    QStringList tags;
    for (const QJsonValue outbound : result.config["outbounds"_L1].toArray())
        tags.append(outbound["tag"_L1].toString());
    EXPECT_EQ(tags, (QStringList{u"e"_s, u"auto"_s, u"direct"_s}));
    EXPECT_EQ(result.config["outbounds"_L1][1]["outbounds"_L1].toArray(), parsed(R"(["e"])"));
    EXPECT_FALSE(bytes(result.config).contains("duplicate"));
    // The rules to "proxy" are gone; the direct one stays. So does the DNS
    // server through "direct", not the one through "proxy".
    const QJsonArray rules = result.config["route"_L1]["rules"_L1].toArray();
    EXPECT_EQ(rules.size(), 3);
    EXPECT_EQ(rules.last()["outbound"_L1], u"direct"_s);
    EXPECT_EQ(result.config["dns"_L1]["servers"_L1].toArray().size(), 1);
    EXPECT_TRUE(result.config["dns"_L1]["rules"_L1].toArray().isEmpty());
}

// A configuration the engine cannot be given fails with a reason the user
// can act on, instead of a tunnel that half works.
TEST(EffectiveConfig, UnusableConfigurationsAreRefusedWithAReason) {
    const std::pair<QByteArray, const char*> cases[] = {
        {"", "cannot be read"},
        {"{\"outbounds\":[{\"type\":\"vless\",\"tag\":\"e\",\"server\":\"s\",\"server_port\":443.}]"
         "}",
         "cannot be read"},
        {"{\"outbounds\":[],\"x\":\"\\q\"}", "cannot be read"},
        {"[]", "not a JSON object"},
        {"{\"route\":{}}", "no outbounds"},
        {"{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\"},{\"type\":\"vless\",\"tag\":\"v\"}]}",
         "no edge server"},
    };
    for (const auto& [json, reason] : cases) {
        EffectiveConfig::Inputs inputs = inputsFor({});
        inputs.lastConfig = json;
        try {
            EffectiveConfig::build(inputs);
            ADD_FAILURE() << json.constData();
        } catch (const EffectiveConfig::BuildError& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    }
}

} // namespace
