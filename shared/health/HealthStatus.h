#pragma once

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

class JsonNode;
class JsonEncoder;
class QJsonObject;

// Whether a rule-set's reference service answers, and how fast.
enum class HealthStatus { unknown, probing, healthy, degraded, down };

QString rawValue(HealthStatus status);
std::optional<HealthStatus> healthStatusFromRawValue(QStringView raw);

// The last known health of one rule-set.
struct RulesetHealth {
    QString ruleset;
    HealthStatus status = HealthStatus::unknown;
    // Whole milliseconds from sending the probe to its answer.
    std::optional<qint64> latencyMs;
    // When the last probe finished.
    std::optional<QDateTime> checkedAt;

    friend bool operator==(const RulesetHealth&, const RulesetHealth&) = default;

    static RulesetHealth decode(const JsonNode& node);
    QJsonObject encode(const JsonEncoder& encoder) const;
};

// What is probed for each rule-set, and the verdict rules.
namespace HealthProbe {

// One public service per rule-set family; a rule-set not listed has no probe.
const QHash<QString, QUrl>& probesByRuleset();
inline constexpr qint64 degradedAboveMs = 1500;
inline constexpr double timeoutSeconds = 8.0;

// The verdict on an answer received after `latencyMs`: any HTTP answer, even
// 4xx or 5xx, shows the service is reachable.
HealthStatus verdict(bool httpAnswer, qint64 latencyMs);

} // namespace HealthProbe
