#pragma once

#include "service/provider/EffectiveConfig.h"

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QSet>

// The steps EffectiveConfig::build takes, one object per build. The steps
// live in three files: the outbounds and endpoints (OutboundConfig.cpp), the
// route and its rules (EffectiveConfig.cpp), DNS (DnsConfig.cpp).
namespace EffectiveConfig {

class Builder {
public:
    explicit Builder(const Inputs& inputs)
        : m_inputs(inputs) {}

    Result build();

private:
    static QJsonObject parse(const QByteArray& bytes);
    bool selective() const { return m_inputs.routing == SharedDefaults::RoutingMode::selective; }
    QLatin1StringView ourInbound() const;
    void leaveOut(const QString& what, const QString& why = {});

    // Outbounds and endpoints.
    void buildOutbounds(const QJsonValue& outbounds, const QJsonValue& endpoints);
    std::optional<QJsonObject> endpointFromOutbound(const QJsonObject& legacy, const QString& path);
    void dropBrokenReferences();
    QString chooseEdge() const;
    void preferEdgeInSelectors();

    // The route.
    QJsonObject inbound() const;
    QJsonArray buildRulesets(const QJsonValue& value);
    std::optional<QJsonObject> buildRule(const QJsonValue& value, bool dns, int depth,
                                         QString& why);
    QJsonArray buildRules(const QJsonValue& value, bool dns, const QString& path);
    QJsonObject buildRoute(const QJsonObject& source, const QJsonArray& rulesets);

    // DNS.
    std::optional<QJsonObject> buildDns(const QJsonValue& value);
    std::optional<QJsonObject> typedServer(QJsonObject server, const QString& path);
    std::optional<QJsonObject> legacyServer(const QJsonObject& server, const QString& path);
    void dropBrokenServers(QList<QJsonObject>& servers);

    const Inputs& m_inputs;
    Result m_result;
    QList<QJsonObject> m_outbounds;
    QList<QJsonObject> m_endpoints;
    QSet<QString> m_outboundTags; // outbounds' and endpoints': one name space
    QSet<QString> m_rejectTags;   // legacy "block" outbounds: rules to them reject
    QSet<QString> m_hijackTags;   // legacy "dns" outbounds: rules to them take DNS over
    QSet<QString> m_rulesetTags;
    QSet<QString> m_dnsServerTags;
    QHash<QString, QString> m_rcodeServers; // legacy "rcode://" servers: tag to code
    QJsonObject m_fakeip;                   // the legacy dns.fakeip block, when usable
};

bool names(const QJsonValue& value, const QSet<QString>& known);
// A member that names one of `known`: kept when it does, else removed.
// True when the member was absent or kept.
bool keepReference(QJsonObject& object, QLatin1StringView key, const QSet<QString>& known);

} // namespace EffectiveConfig
