#pragma once

#include "shared/async/Clock.h"
#include "shared/health/HealthStatus.h"

#include <QMap>
#include <QObject>
#include <QStringList>

#include <memory>

class Cancellation;
class HttpSession;
class NetworkAccessFactory;

// Probes each visible rule-set's reference service every 30 seconds while the
// tunnel is up, and publishes the verdicts. Lives on the main thread; its
// probe loop runs there too, between network waits, and holds the monitor
// only weakly.
class HealthMonitor final : public QObject {
    Q_OBJECT
public:
    // Production passes HealthProbe::probesByRuleset() and Clock::system();
    // the probes' manager comes from `network`.
    HealthMonitor(QHash<QString, QUrl> probes, std::shared_ptr<Clock> clock,
                  const NetworkAccessFactory& network, QObject* parent = nullptr);
    ~HealthMonitor() override;

    // Every rule-set ever started, by name. Entries are never removed.
    const QMap<QString, RulesetHealth>& statuses() const { return m_statuses; }

    // (Re)starts probing the visible ones of `rulesets`, all reset to unknown.
    void start(const QStringList& rulesets);
    // Ends probing; a first probe still in flight shows unknown again, and
    // probes cut short write and log nothing.
    void stop();

signals:
    void statusesChanged();

private:
    static QCoro::Task<void> probeLoop(QPointer<HealthMonitor> self, QStringList names,
                                       std::shared_ptr<Cancellation> cancellation,
                                       std::shared_ptr<Clock> clock);
    static QCoro::Task<void> probe(QPointer<HealthMonitor> self, QString name,
                                   std::shared_ptr<Cancellation> cancellation);
    void setStatus(const RulesetHealth& health);

    QHash<QString, QUrl> m_probes;
    std::shared_ptr<Clock> m_clock;
    QMap<QString, RulesetHealth> m_statuses;
    // The running loop's off switch; null while idle.
    std::shared_ptr<Cancellation> m_loop;
    // Shared with in-flight probes, which may outlive the monitor.
    std::shared_ptr<HttpSession> m_session;
};
