#include "shared/model/SingboxClientConfig.h"

#include "shared/coding/JsonCoding.h"

using namespace Qt::StringLiterals;

namespace {

SingboxClientConfig::Outbound decodeOutbound(const JsonNode& node) {
    SingboxClientConfig::Outbound outbound{
        node.required("type"_L1).toText(), node.required("tag"_L1).toText(), {}, {}};
    if (const auto server = node.optional("server"_L1))
        outbound.server = server->toText();
    if (const auto port = node.optional("serverPort"_L1))
        outbound.serverPort = port->toInt64();
    return outbound;
}

SingboxClientConfig::Route decodeRoute(const JsonNode& node) {
    SingboxClientConfig::Route route;
    if (const auto list = node.optional("ruleSet"_L1)) {
        QList<SingboxClientConfig::RuleSetRef> refs;
        refs.reserve(list->listSize());
        for (qsizetype i = 0; i < list->listSize(); ++i)
            refs.append({list->element(i).required("tag"_L1).toText()});
        route.ruleSet = std::move(refs);
    }
    return route;
}

QString regionOf(const QString& tag) {
    const QList<QStringView> pieces = QStringView(tag).split(u'-', Qt::SkipEmptyParts);
    // QString::toUpper uses the Unicode mapping, never the user's locale.
    return pieces.isEmpty() ? u"\u2014"_s : pieces.last().toString().toUpper();
}

} // namespace

SingboxClientConfig SingboxClientConfig::decode(const JsonNode& node) {
    SingboxClientConfig config;
    const JsonNode list = node.required("outbounds"_L1);
    config.outbounds.reserve(list.listSize());
    for (qsizetype i = 0; i < list.listSize(); ++i)
        config.outbounds.append(decodeOutbound(list.element(i)));
    if (const auto route = node.optional("route"_L1))
        config.route = decodeRoute(*route);
    return config;
}

QList<EdgeInfo> SingboxClientConfig::edges() const {
    QList<EdgeInfo> result;
    for (const Outbound& outbound : outbounds) {
        if (outbound.type == u"vless" && outbound.server)
            result.append({outbound.tag, regionOf(outbound.tag), *outbound.server});
    }
    return result;
}

QStringList SingboxClientConfig::rulesetNames() const {
    QStringList names;
    if (route && route->ruleSet) {
        names.reserve(route->ruleSet->size());
        for (const RuleSetRef& ref : *route->ruleSet)
            names.append(ref.tag);
    }
    return names;
}
