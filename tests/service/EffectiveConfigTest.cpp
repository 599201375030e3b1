#include "service/provider/EffectiveConfig.h"

#include "shared/rulesets/RulesetCache.h"
#include "tests/support/QtPrinters.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using EffectiveConfig::TunnelMode;
using RoutingMode = SharedDefaults::RoutingMode;

namespace {

QJsonObject object(const char* json) {
    return QJsonDocument::fromJson(json).object();
}

// A configuration as the service sends it: a group of edges, a direct way
// out, rule-sets fetched from the service, one rule sending them to the group.
QJsonObject serviceConfig() {
    return object(R"({
      "outbounds": [
        {"type": "selector", "tag": "proxy", "outbounds": ["nl-ams-1", "de-fra-1"],
         "default": "nl-ams-1"},
        {"type": "vless", "tag": "nl-ams-1", "server": "ams.example.net", "server_port": 443,
         "uuid": "5c0e7a1e-0000-4000-8000-000000000001", "flow": "xtls-rprx-vision",
         "tls": {"enabled": true, "server_name": "www.example.com",
                 "utls": {"enabled": true, "fingerprint": "chrome"},
                 "reality": {"enabled": true, "public_key": "k", "short_id": "0a"}}},
        {"type": "vless", "tag": "de-fra-1", "server": "fra.example.net", "server_port": 443,
         "uuid": "5c0e7a1e-0000-4000-8000-000000000002", "tls": {"enabled": true}},
        {"type": "direct", "tag": "direct"}
      ],
      "route": {
        "rule_set": [
          {"type": "remote", "tag": "messengers", "format": "binary",
           "url": "https://sets.example.net/messengers.srs", "download_detour": "proxy"},
          {"type": "remote", "tag": "youtube", "format": "binary",
           "url": "https://sets.example.net/youtube.srs"}
        ],
        "rules": [
          {"rule_set": ["messengers"], "outbound": "proxy"},
          {"rule_set": "youtube", "outbound": "proxy"},
          {"ip_is_private": true, "outbound": "direct"}
        ],
        "final": "direct"
      },
      "dns": {
        "servers": [
          {"tag": "remote", "address": "tls://1.1.1.1", "detour": "proxy"},
          {"tag": "local", "address": "local", "detour": "direct"}
        ],
        "rules": [{"rule_set": "messengers", "server": "remote"}],
        "final": "local"
      }
    })");
}

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

// `value` with `patch` merged in at `path` ("route", "outbounds[1].tls").
QJsonObject patched(QJsonObject value, const QString& path, const QJsonObject& patch) {
    if (path.isEmpty()) {
        for (auto it = patch.begin(); it != patch.end(); ++it)
            value.insert(it.key(), it.value());
        return value;
    }
    const QString head = path.section(u'.', 0, 0);
    const QString rest = path.section(u'.', 1);
    const qsizetype bracket = head.indexOf(u'[');
    if (bracket < 0) {
        value.insert(head, patched(value.value(head).toObject(), rest, patch));
        return value;
    }
    const QString key = head.left(bracket);
    const int index = head.mid(bracket + 1).chopped(1).toInt();
    QJsonArray list = value.value(key).toArray();
    list[index] = patched(list[index].toObject(), rest, patch);
    value.insert(key, list);
    return value;
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
        {"certificate path", "outbounds[1].tls", R"({"certificate_path": "/etc/shadow"})",
         "/etc/shadow"},
        {"ECH config path", "outbounds[1].tls.ech", R"({"config_path": "/etc/ech"})", "/etc/ech"},
        {"client key path", "outbounds[2].tls", R"({"key_path": "/etc/ssl/k.pem"})",
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
// rules and starts its edge group on the preferred edge.
TEST(EffectiveConfig, RoutingModeAndPreferredEdge) {
    struct Case {
        RoutingMode routing;
        std::optional<QString> preferred;
        QString edge;
        QJsonValue final;
        qsizetype rules; // besides the provider's own two
    };
    const Case cases[] = {
        {RoutingMode::global, u"de-fra-1"_s, u"de-fra-1"_s, u"de-fra-1"_s, 0},
        {RoutingMode::global, u"gone-1"_s, u"nl-ams-1"_s, u"nl-ams-1"_s, 0},
        {RoutingMode::global, u"direct"_s, u"nl-ams-1"_s, u"nl-ams-1"_s, 0},
        {RoutingMode::global, std::nullopt, u"nl-ams-1"_s, u"nl-ams-1"_s, 0},
        {RoutingMode::selective, u"de-fra-1"_s, u"de-fra-1"_s, u"direct"_s, 3},
        {RoutingMode::selective, u"gone-1"_s, u"nl-ams-1"_s, u"direct"_s, 3},
    };
    for (const Case& c : cases) {
        EffectiveConfig::Inputs inputs = inputsFor(serviceConfig(), c.routing);
        inputs.preferredEdge = c.preferred;
        const EffectiveConfig::Result result = EffectiveConfig::build(inputs);
        const QJsonObject route = result.config["route"_L1].toObject();
        const auto label = c.preferred.value_or(u"none"_s).toStdString();
        EXPECT_EQ(result.edge, c.edge) << label;
        EXPECT_EQ(route["final"_L1], c.final) << label;
        EXPECT_EQ(route["rules"_L1].toArray().size(), 2 + c.rules) << label;
        EXPECT_EQ(route.contains("rule_set"_L1), c.routing == RoutingMode::selective) << label;
        EXPECT_EQ(result.config["outbounds"_L1][0]["default"_L1].toString(),
                  c.routing == RoutingMode::selective ? c.edge : u"nl-ams-1"_s)
            << label;
        // Globally, lookups follow everything else to the edge.
        EXPECT_EQ(result.config["dns"_L1]["servers"_L1][0].toObject().contains("detour"_L1),
                  c.routing == RoutingMode::selective)
            << label;
    }
}

// The inbound is always the provider's own: a TUN device with automatic
// routes in system mode, a loopback-only proxy in session mode.
TEST(EffectiveConfig, InboundsAreTheProvidersOwn) {
    const auto inbounds = [](TunnelMode mode) {
        return EffectiveConfig::build(inputsFor(serviceConfig(), RoutingMode::selective, mode))
            .config["inbounds"_L1]
            .toArray();
    };
    const QJsonArray system = inbounds(TunnelMode::system);
    ASSERT_EQ(system.size(), 1);
    EXPECT_EQ(system[0]["type"_L1], u"tun"_s);
    EXPECT_EQ(system[0]["auto_route"_L1], true);
    EXPECT_EQ(inbounds(TunnelMode::session)[0].toObject(),
              object(R"({"type": "mixed", "tag": "mixed-in", "listen": "127.0.0.1",
                         "listen_port": 47833})"));
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
