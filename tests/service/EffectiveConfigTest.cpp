#include "service/provider/EffectiveConfig.h"

#include "service/provider/ConfigSchema.h"
#include "shared/rulesets/RulesetCache.h"
#include "tests/service/ServiceConfig.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::string_literals;
using EffectiveConfig::contains;
using EffectiveConfig::textList;
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

QJsonObject corpus(const char* name) {
    QFile file(QLatin1StringView(CONFIG_CORPUS "/") + QLatin1StringView(name) + u".json"_s);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return QJsonDocument::fromJson(file.readAll()).object();
}

QJsonArray outboundsAndEndpoints(const QJsonObject& config) {
    QJsonArray all = config["outbounds"_L1].toArray();
    for (const QJsonValue endpoint : config["endpoints"_L1].toArray())
        all.append(endpoint);
    return all;
}

QJsonValue tagged(const QJsonArray& list, const QString& tag) {
    for (const QJsonValue item : list) {
        if (item["tag"_L1] == tag)
            return item;
    }
    return QJsonValue::Undefined;
}

// Every tag the configuration names, where the engine looks it up, and which
// is not there: the engine would refuse to start.
QStringList brokenReferences(const QJsonObject& config) {
    const auto tagsOf = [](const QJsonValue& list) {
        QSet<QString> tags{u"any"_s}; // what a DNS rule's outbound matcher may name
        for (const QJsonValue item : list.toArray())
            tags.insert(item["tag"_L1].toString());
        return tags;
    };
    const QSet<QString> outbounds = tagsOf(outboundsAndEndpoints(config)),
                        servers = tagsOf(config["dns"_L1]["servers"_L1]),
                        sets = tagsOf(config["route"_L1]["rule_set"_L1]),
                        inbounds = tagsOf(config["inbounds"_L1]);
    QStringList broken;
    const auto check = [&](const QJsonValue& value, const QSet<QString>& known) {
        if (value.isUndefined())
            return;
        for (const QJsonValue tag : value.isArray() ? value.toArray() : QJsonArray{value}) {
            if (!known.contains(tag.toString()))
                broken.append(tag.toString());
        }
    };
    for (const QJsonValue item : outboundsAndEndpoints(config)) {
        for (const char* key : {"detour", "outbounds", "default"})
            check(item[QLatin1StringView(key)], outbounds);
    }
    for (const QJsonValue server : config["dns"_L1]["servers"_L1].toArray()) {
        check(server["detour"_L1], outbounds);
        check(server["domain_resolver"_L1], servers);
    }
    check(config["dns"_L1]["final"_L1], servers);
    check(config["route"_L1]["final"_L1], outbounds);
    std::function<void(const QJsonValue&)> rule = [&](const QJsonValue& r) {
        check(r["outbound"_L1], outbounds);
        check(r["rule_set"_L1], sets);
        check(r["inbound"_L1], inbounds);
        for (const QJsonValue member : r["rules"_L1].toArray())
            rule(member);
    };
    for (const QJsonValue r : config["route"_L1]["rules"_L1].toArray())
        rule(r);
    for (const QJsonValue r : config["dns"_L1]["rules"_L1].toArray()) {
        rule(r);
        check(r["server"_L1], servers);
    }
    return broken;
}

QStringList actions(const QJsonValue& rules, qsizetype skip) {
    QStringList out;
    for (const QJsonValue rule : rules.toArray())
        out.append(rule["action"_L1].toString(u"route"_s));
    return out.mid(skip);
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
        if (c.mode == system)
            EXPECT_TRUE(inbounds[0]["auto_route"_L1].toBool() &&
                        inbounds[0]["strict_route"_L1].toBool())
                << label;
        else
            EXPECT_EQ(inbounds[0]["listen"_L1], u"127.0.0.1"_s) << label;
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
        // Text Qt's own reader would take.
        {R"({"outbounds":[{"type":"vless","tag":"e","server":"s","server_port":443.}]})",
         "cannot be read"},
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

// Each shape of configuration services send, in every mode: the engine gets
// an explicit default route (the edge, or the service's own final while it
// still exists), nothing that refers to what is not there, only the current
// forms, nothing hostile, and what the subscription needs.
TEST(EffectiveConfig, CorpusBuildsWhatTheEngineRuns) {
    struct Case {
        const char* name;
        const char* final;   // selectively, when not the edge
        const char* expect;  // {"tag" or "dns:tag": members it has, or null for gone}
        const char* actions; // selectively: the service's route and DNS rules
    };
    const Case cases[] = {
        {"wireguard", "proxy", R"({
            "warp": {"type": "wireguard", "detour": "edge-1", "mtu": 1280,
                     "address": ["172.16.0.2/32", "2606:4700:110:8a36::2/128"],
                     "peers": [{"address": "162.159.192.1", "port": 2408, "reserved": [1, 2, 3],
                                "public_key": "cGVlci1wdWJsaWMta2V5LWZpbGxlci0wMDAwMDAwMDA=",
                                "allowed_ips": ["0.0.0.0/0", "::/0"]}]},
            "wg-new": {"mtu": 1408, "address": ["10.8.0.2/32"]}, "wg-keyless": null,
            "proxy": {"outbounds": ["warp", "edge-1", "wg-new", "wg-multi"]}})",
         R"({"route": ["route"]})"},
        {"socks", nullptr, R"({"office": null, "via-office": null, "edge": {"server_port": 8443}})",
         R"({"route": ["route"]})"},
        {"groups", "select", R"({"streaming": {"outbounds": ["direct", "auto"], "default": "auto"},
            "auto": {"interval": "3m", "tolerance": 50}, "fi-1": {"up_mbps": 100}})",
         R"({"route": ["route", "route"]})"},
        {"no-route", nullptr, R"({"direct": {"type": "direct"}})", R"({"route": []})"},
        {"foreign-inbounds", "edge", "{}", R"({"route": ["route"], "dns": ["route"]})"},
        {"legacy", nullptr, R"({"block": null, "dns-out": null, "proxy": {"outbounds": ["edge"]},
            "dns:cf": {"type": "tls", "server": "1.1.1.1", "domain_resolver": "boot"},
            "dns:google": {"type": "https", "server": "dns.google", "path": "/dns-query"},
            "dns:quad9": {"type": "udp", "server": "9.9.9.9", "server_port": 53},
            "dns:v6": {"type": "udp", "server": "2606:4700:4700::1111"},
            "dns:boot": {"type": "local"}, "dns:lan": {"type": "dhcp"},
            "dns:fake": {"type": "fakeip", "inet4_range": "198.18.0.0/15"}, "dns:refuse": null})",
         R"({"route": ["hijack-dns", "reject", "reject", "reject"],
             "dns": ["predefined", "route", "route"]})"},
        {"worker", "wg", R"({"worker": {"transport": {"type": "ws", "path": "/ws?ed=2048",
                "headers": {"Host": "my-worker.example.workers.dev"}, "max_early_data": 2048,
                "early_data_header_name": "Sec-WebSocket-Protocol"},
              "tls": {"enabled": true, "server_name": "my-worker.example.workers.dev",
                      "utls": {"enabled": true, "fingerprint": "chrome"}}},
            "wg": {"detour": "worker"}, "dns:fake": null})",
         R"({"route": ["route"], "dns": []})"},
    };
    const char* hostile[] = {
        "/etc/", "system_interface", R"("system":)", R"("name":)", "evil0", "wg0", "wg9", "10000"};
    for (const Case& c : cases) {
        for (const RoutingMode routing : {RoutingMode::selective, RoutingMode::global}) {
            for (const TunnelMode mode : {TunnelMode::system, TunnelMode::session}) {
                const bool selective = routing == RoutingMode::selective;
                const std::string label = std::string(c.name) +
                                          (selective ? " selective" : " global") +
                                          (mode == TunnelMode::system ? " system" : " session");
                const EffectiveConfig::Result result =
                    EffectiveConfig::build(inputsFor(corpus(c.name), routing, mode));
                const QJsonObject& config = result.config;
                const QByteArray out = bytes(config);
                EXPECT_EQ(config["route"_L1]["final"_L1].toString(),
                          selective && c.final ? QString::fromLatin1(c.final) : result.edge)
                    << label;
                EXPECT_EQ(brokenReferences(config), QStringList{}) << label;
                for (const QJsonValue outbound : outboundsAndEndpoints(config)) {
                    EXPECT_FALSE(
                        contains(QStringList{u"block"_s, u"dns"_s},
                                 outbound["type"_L1].toString()) ||
                        (outbound["type"_L1] == u"wireguard"_s && !outbound["peers"_L1].isArray()))
                        << label;
                }
                for (const QJsonValue server : config["dns"_L1]["servers"_L1].toArray())
                    EXPECT_FALSE(server.toObject().contains("address"_L1)) << label;
                EXPECT_FALSE(out.contains("geoip") || out.contains("geosite") ||
                             config["dns"_L1].toObject().contains("fakeip"_L1))
                    << label;
                for (const char* bad : hostile)
                    EXPECT_FALSE(out.contains(bad)) << label << ": " << bad;
                EXPECT_EQ(out.count("listen"), mode == TunnelMode::session ? 2 : 0) << label;
                const QJsonObject expect = object(c.expect);
                for (auto it = expect.begin(); it != expect.end(); ++it) {
                    const bool dns = it.key().startsWith(u"dns:");
                    const QJsonValue found =
                        dns ? tagged(config["dns"_L1]["servers"_L1].toArray(), it.key().mid(4))
                            : tagged(outboundsAndEndpoints(config), it.key());
                    EXPECT_EQ(found.isUndefined(), it.value().isNull())
                        << label << it.key().toStdString();
                    const QJsonObject members = it.value().toObject();
                    for (auto m = members.begin(); m != members.end(); ++m)
                        EXPECT_EQ(found[m.key()], m.value())
                            << label << it.key().toStdString() << m.key().toStdString();
                }
                if (!selective)
                    continue;
                const qsizetype own = mode == TunnelMode::system ? 2 : 1;
                const QJsonObject rules = object(c.actions);
                EXPECT_EQ(actions(config["route"_L1]["rules"_L1], own), textList(rules["route"_L1]))
                    << label;
                if (rules.contains("dns"_L1)) {
                    EXPECT_EQ(actions(config["dns"_L1]["rules"_L1], 0), textList(rules["dns"_L1]))
                        << label;
                }
            }
        }
    }
}

// A value of the wrong type where the tunnel needs it fails the build,
// naming the place; where it only tunes, it is left out and logged.
TEST(EffectiveConfig, ValuesOfTheWrongTypeAreNamed) {
    struct Case {
        const char* path;
        const char* patch;
        const char* error;   // the BuildError's place and reason
        const char* leftOut; // else what the log names
    };
    const char* port = "outbounds[1].server_port must be a port number (1-65535)";
    const Case cases[] = {
        {"outbounds[1]", R"({"server_port": "443"})", port, nullptr},
        {"outbounds[1]", R"({"server_port": 70000})", port, nullptr},
        {"outbounds[1]", R"({"uuid": ["a", "b"]})", "outbounds[1].uuid must be text", nullptr},
        {"outbounds[2]", R"({"tls": {"enabled": "true"}})",
         "outbounds[2].tls.enabled must be true or false", nullptr},
        {"dns",
         R"({"servers": [{"tag": "u", "type": "udp", "server": "1.1.1.1", "server_port": "53"}]})",
         "dns.servers[0].server_port must be a port number (1-65535)", nullptr},
        {"", R"({"endpoints": [{"type": "wireguard", "tag": "w", "address": "10.0.0.2/32",
                  "private_key": "k", "peers": [{"address": "a", "port": "51820", "public_key": "p"}]}]})",
         "endpoints[0].peers[0].port must be a port number (1-65535)", nullptr},
        {"outbounds[1]", R"({"connect_timeout": 30})", nullptr,
         R"(outbounds[1].connect_timeout must be a duration such as "30s")"},
        {"outbounds[1]", R"({"multiplex": {"enabled": true, "max_streams": "8"}})", nullptr,
         "outbounds[1].multiplex.max_streams must be a whole number"},
    };
    for (const Case& c : cases) {
        const QJsonObject config =
            patched(serviceConfig(), QLatin1StringView(c.path), object(c.patch));
        try {
            const EffectiveConfig::Result result = EffectiveConfig::build(inputsFor(config));
            EXPECT_FALSE(c.error) << c.patch;
            EXPECT_TRUE(result.leftOut.contains(QString::fromUtf8(c.leftOut ? c.leftOut : "")))
                << c.patch << result.leftOut.join(u", "_s).toStdString();
        } catch (const EffectiveConfig::BuildError& error) {
            EXPECT_EQ(error.what(), "the downloaded configuration is not usable: "s +
                                        (c.error ? c.error : "(none)"));
        }
    }
}

} // namespace
