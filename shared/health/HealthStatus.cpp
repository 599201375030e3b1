#include "shared/health/HealthStatus.h"

#include "shared/coding/JsonCoding.h"
#include "shared/coding/RawValue.h"
#include "shared/settings/Constants.h"

#include <QJsonObject>

#include <array>

using namespace Qt::StringLiterals;

namespace {
constexpr std::array<QLatin1StringView, 5> statusNames{"unknown"_L1, "probing"_L1, "healthy"_L1,
                                                       "degraded"_L1, "down"_L1};
}

QString rawValue(HealthStatus status) {
    return statusNames[size_t(status)];
}

std::optional<HealthStatus> healthStatusFromRawValue(QStringView raw) {
    return fromRawValue<HealthStatus>(statusNames, raw);
}

RulesetHealth RulesetHealth::decode(const JsonNode& node) {
    RulesetHealth health;
    health.ruleset = node.required("ruleset"_L1).toText();
    const JsonNode status = node.required("status"_L1);
    const std::optional<HealthStatus> parsed = healthStatusFromRawValue(status.toText());
    if (!parsed)
        status.fail(DecodingError::Kind::dataCorrupted,
                    u"unknown health status "_s + status.toText());
    health.status = *parsed;
    if (const auto latency = node.optional("latencyMs"_L1))
        health.latencyMs = latency->toInt64();
    if (const auto checked = node.optional("checkedAt"_L1))
        health.checkedAt = checked->toDate();
    return health;
}

QJsonObject RulesetHealth::encode(const JsonEncoder& encoder) const {
    QJsonObject object{{encoder.key("ruleset"_L1), ruleset},
                       {encoder.key("status"_L1), rawValue(status)}};
    if (latencyMs)
        object.insert(encoder.key("latencyMs"_L1), *latencyMs);
    if (checkedAt)
        object.insert(encoder.key("checkedAt"_L1), encoder.date(*checkedAt));
    return object;
}

namespace HealthProbe {

const QHash<QString, QUrl>& probesByRuleset() {
    static const QHash<QString, QUrl> probes = [] {
        QHash<QString, QUrl> homePages{
            {u"messengers"_s, QUrl(u"https://web.telegram.org/"_s)},
            {u"youtube"_s, QUrl(u"https://www.youtube.com/"_s)},
            {u"aiplatforms"_s, QUrl(u"https://api.openai.com/"_s)},
            {u"streaming"_s, QUrl(u"https://www.netflix.com/"_s)},
            {u"code"_s, QUrl(u"https://github.com/"_s)},
        };
        if (const QUrl& origin = Constants::probeOrigin(); !origin.isEmpty()) {
            for (auto it = homePages.begin(); it != homePages.end(); ++it)
                *it = QUrl(origin.toString() + u"/probe/"_s + it.key());
        }
        return homePages;
    }();
    return probes;
}

HealthStatus verdict(bool httpAnswer, qint64 latencyMs) {
    if (!httpAnswer)
        return HealthStatus::down;
    return latencyMs > degradedAboveMs ? HealthStatus::degraded : HealthStatus::healthy;
}

} // namespace HealthProbe
