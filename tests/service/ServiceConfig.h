#pragma once

#include <QJsonDocument>
#include <QJsonObject>

inline QJsonObject object(const char* json) {
    return QJsonDocument::fromJson(json).object();
}

// A configuration as the service sends it: a group of edges, a direct way
// out, rule-sets fetched from the service, one rule sending them to the group.
inline QJsonObject serviceConfig() {
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
