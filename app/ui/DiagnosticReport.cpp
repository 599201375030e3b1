#include "app/ui/DiagnosticReport.h"

#include "app/ui/Presentation.h"
#include "shared/model/HiddenRulesets.h"

#include <QMetaEnum>

using namespace Qt::StringLiterals;
using Presentation::singleLine;

namespace DiagnosticReport {

namespace {

// Date and time to the second in UTC, as in 2026-03-01T09:30:00Z.
QString iso8601(const QDateTime& date) {
    return date.toUTC().toString(Qt::ISODate);
}

} // namespace

QString stateDescription(const ConnectionState& state) {
    if (state.kind() != ConnectionState::Kind::error)
        return QString::fromLatin1(
            QMetaEnum::fromType<ConnectionState::Kind>().valueToKey(int(state.kind())));
    QString quoted;
    for (const QChar c : state.message()) {
        if (c == u'\\' || c == u'"')
            quoted += u'\\';
        quoted += c;
    }
    return u"error(\""_s + singleLine(quoted) + u"\")"_s;
}

QString build(const Facts& facts) {
    QString report;
    const auto line = [&report](const QString& text) { report += text + u'\n'; };

    line(u"=== Halvoran diagnostic ==="_s);
    line(u"version: "_s + singleLine(facts.appVersion));
    line(u"os: "_s + singleLine(facts.operatingSystem));
    line(u"state: "_s + stateDescription(facts.state));
    line(u"preferred_edge: "_s + singleLine(facts.preferredEdgeTag.value_or(u"auto"_s)));
    line(u"routing_mode: "_s + SharedDefaults::rawValue(facts.routingMode));
    if (const auto& metadata = facts.metadata) {
        if (const auto& expiresAt = metadata->expiresAt())
            line(u"subscription_expires: "_s + iso8601(*expiresAt));
        line(u"metadata_fetched_at: "_s + iso8601(metadata->fetchedAt()));
        const QStringList visible = HiddenRulesets::visible(metadata->rulesetNames());
        line(u"active_rulesets: "_s +
             (visible.isEmpty() ? u"none"_s : singleLine(visible.join(u", "_s))));
        line(u"edges: "_s + QString::number(metadata->edges().size()));
        for (const EdgeInfo& edge : metadata->edges())
            line(u"  - "_s + singleLine(edge.tag) + u" → "_s + singleLine(edge.host) + u" ("_s +
                 singleLine(edge.region) + u')');
    } else {
        line(u"metadata: (none — /sub never fetched)"_s);
    }
    if (facts.state.kind() == ConnectionState::Kind::error) {
        line({});
        line(u"last_error: "_s + singleLine(facts.state.message()));
    }
    line({});
    line(singleLine(facts.logHint));
    return report;
}

} // namespace DiagnosticReport
