#pragma once

#include "shared/model/SubscriptionMetadata.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class JsonNode;

// The part of a sing-box client configuration that the app reads: the
// outbounds (some of which are the edge servers) and the route's rule-set
// references. Every other key is ignored.
struct SingboxClientConfig {
    struct Outbound {
        QString type;
        QString tag;
        std::optional<QString> server;
        // Not used, but read so that a malformed port rejects the configuration.
        std::optional<qint64> serverPort;
    };
    struct RuleSetRef {
        QString tag;
    };
    struct Route {
        std::optional<QList<RuleSetRef>> ruleSet;
    };

    QList<Outbound> outbounds;
    std::optional<Route> route;

    // The "vless" outbounds that name a server, in order; the region is the
    // tag's last dash-separated piece in capitals ("nl-ams-1" gives "1").
    QList<EdgeInfo> edges() const;
    // The route's rule-set tags in order, duplicates kept.
    QStringList rulesetNames() const;

    static SingboxClientConfig decode(const JsonNode& node);
};
