#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class JsonNode;
class JsonEncoder;
class QJsonObject;

// One VPN edge server of the subscription. Its identity is its tag.
struct EdgeInfo {
    QString tag;
    QString region;
    QString host;

    const QString& id() const { return tag; }
    friend bool operator==(const EdgeInfo&, const EdgeInfo&) = default;

    static EdgeInfo decode(const JsonNode& node);
    QJsonObject encode(const JsonEncoder& encoder) const;
};

size_t qHash(const EdgeInfo& edge, size_t seed = 0) noexcept;

// The condensed view of one fetched subscription, as the app shows it and the
// settings suite keeps it.
class SubscriptionMetadata {
public:
    SubscriptionMetadata(QList<EdgeInfo> edges, QStringList rulesetNames,
                         std::optional<QDateTime> expiresAt, QDateTime fetchedAt);

    const QList<EdgeInfo>& edges() const { return m_edges; }
    const QStringList& rulesetNames() const { return m_rulesetNames; }
    const std::optional<QDateTime>& expiresAt() const { return m_expiresAt; }
    const QDateTime& fetchedAt() const { return m_fetchedAt; }

    friend bool operator==(const SubscriptionMetadata&, const SubscriptionMetadata&) = default;

    static SubscriptionMetadata decode(const JsonNode& node);
    QJsonObject encode(const JsonEncoder& encoder) const;

private:
    QList<EdgeInfo> m_edges;
    QStringList m_rulesetNames;
    std::optional<QDateTime> m_expiresAt;
    QDateTime m_fetchedAt;
};
