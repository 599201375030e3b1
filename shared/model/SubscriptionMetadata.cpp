#include "shared/model/SubscriptionMetadata.h"

#include "shared/coding/JsonCoding.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace Qt::StringLiterals;

EdgeInfo EdgeInfo::decode(const JsonNode& node) {
    return {node.required("tag"_L1).toText(), node.required("region"_L1).toText(),
            node.required("host"_L1).toText()};
}

QJsonObject EdgeInfo::encode(const JsonEncoder& encoder) const {
    return {{encoder.key("tag"_L1), tag},
            {encoder.key("region"_L1), region},
            {encoder.key("host"_L1), host}};
}

size_t qHash(const EdgeInfo& edge, size_t seed) noexcept {
    return qHashMulti(seed, edge.tag, edge.region, edge.host);
}

SubscriptionMetadata::SubscriptionMetadata(QList<EdgeInfo> edges, QStringList rulesetNames,
                                           std::optional<QDateTime> expiresAt, QDateTime fetchedAt)
    : m_edges(std::move(edges))
    , m_rulesetNames(std::move(rulesetNames))
    , m_expiresAt(std::move(expiresAt))
    , m_fetchedAt(std::move(fetchedAt)) {}

SubscriptionMetadata SubscriptionMetadata::decode(const JsonNode& node) {
    const JsonNode edgeList = node.required("edges"_L1);
    QList<EdgeInfo> edges;
    edges.reserve(edgeList.listSize());
    for (qsizetype i = 0; i < edgeList.listSize(); ++i)
        edges.append(EdgeInfo::decode(edgeList.element(i)));

    const JsonNode nameList = node.required("rulesetNames"_L1);
    QStringList names;
    names.reserve(nameList.listSize());
    for (qsizetype i = 0; i < nameList.listSize(); ++i)
        names.append(nameList.element(i).toText());

    std::optional<QDateTime> expiresAt;
    if (const std::optional<JsonNode> expiry = node.optional("expiresAt"_L1))
        expiresAt = expiry->toDate();
    return {std::move(edges), std::move(names), std::move(expiresAt),
            node.required("fetchedAt"_L1).toDate()};
}

QJsonObject SubscriptionMetadata::encode(const JsonEncoder& encoder) const {
    QJsonArray edges;
    for (const EdgeInfo& edge : m_edges)
        edges.append(edge.encode(encoder));
    QJsonObject object{{encoder.key("edges"_L1), edges},
                       {encoder.key("rulesetNames"_L1), QJsonArray::fromStringList(m_rulesetNames)},
                       {encoder.key("fetchedAt"_L1), encoder.date(m_fetchedAt)}};
    if (m_expiresAt)
        object.insert(encoder.key("expiresAt"_L1), encoder.date(*m_expiresAt));
    return object;
}
