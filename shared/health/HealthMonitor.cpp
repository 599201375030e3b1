#include "shared/health/HealthMonitor.h"

#include "shared/async/Cancellation.h"
#include "shared/async/Detached.h"
#include "shared/log/Log.h"
#include "shared/model/HiddenRulesets.h"
#include "shared/net/HttpSession.h"

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {
constexpr auto sweepPause = 30s;
constexpr auto probeTimeout = std::chrono::milliseconds(qint64(HealthProbe::timeoutSeconds * 1000));
constexpr auto probeResourceTimeout = 10s;
} // namespace

HealthMonitor::HealthMonitor(QHash<QString, QUrl> probes, std::shared_ptr<Clock> clock,
                             const NetworkAccessFactory& network, QObject* parent)
    : QObject(parent)
    , m_probes(std::move(probes))
    , m_clock(std::move(clock))
    , m_session(std::make_shared<HttpSession>(
          HttpSession::Options{probeTimeout, probeResourceTimeout, true}, m_clock, network)) {}

// Ends the loop at once rather than at its next check: nothing it would do
// after this can reach anyone, and its requests need not run on.
HealthMonitor::~HealthMonitor() {
    if (m_loop)
        m_loop->cancel();
}

void HealthMonitor::setStatus(const RulesetHealth& health) {
    m_statuses.insert(health.ruleset, health);
    emit statusesChanged();
}

void HealthMonitor::start(const QStringList& rulesets) {
    stop();
    const QStringList names = HiddenRulesets::visible(rulesets);
    qCInfo(Log::health, "start(%s)", Log::printable(names.join(u',')).constData());
    for (const QString& name : names)
        setStatus({name, HealthStatus::unknown, {}, {}});
    m_loop = std::make_shared<Cancellation>();
    Detached::start(probeLoop(this, names, m_loop, m_clock), this, Log::health);
}

void HealthMonitor::stop() {
    if (m_loop) {
        m_loop->cancel();
        m_loop.reset();
    }
    for (RulesetHealth& health : m_statuses) {
        if (health.status == HealthStatus::probing) {
            health.status = HealthStatus::unknown;
            emit statusesChanged();
        }
    }
}

QCoro::Task<void> HealthMonitor::probeLoop(QPointer<HealthMonitor> self, QStringList names,
                                           std::shared_ptr<Cancellation> cancellation,
                                           std::shared_ptr<Clock> clock) {
    // Like any new task, the loop first lets start() return: its entries read
    // unknown until the first sweep begins, on the next turn of the event loop.
    QCoro::Task<void> begin = clock->sleep(0ms, cancellation);
    co_await begin;
    while (!cancellation->isCancelled() && self) {
        std::vector<QCoro::Task<void>> sweep;
        for (const QString& name : names)
            sweep.push_back(probe(self, name, cancellation));
        for (QCoro::Task<void>& child : sweep)
            co_await child;
        // Counted from the end of the sweep, so sweeps start at least 30 s apart.
        QCoro::Task<void> pause = clock->sleep(sweepPause, cancellation);
        co_await pause;
    }
}

QCoro::Task<void> HealthMonitor::probe(QPointer<HealthMonitor> self, QString name,
                                       std::shared_ptr<Cancellation> cancellation) {
    if (!self)
        co_return;
    const auto target = self->m_probes.constFind(name);
    if (target == self->m_probes.constEnd()) {
        self->setStatus({name, HealthStatus::unknown, {}, {}});
        co_return;
    }
    const auto current = self->m_statuses.constFind(name);
    if (current != self->m_statuses.constEnd() && current->status == HealthStatus::unknown)
        self->setStatus({name, HealthStatus::probing, {}, {}});

    // The session stays alive for this probe even if the monitor goes away.
    const std::shared_ptr<HttpSession> session = self->m_session;
    const std::shared_ptr<Clock> clock = session->clock();
    const auto started = clock->monotonic();
    QCoro::Task<HttpResult> exchange =
        session->send(QNetworkRequest(*target), "HEAD", {}, {}, cancellation);
    const HttpResult result = co_await exchange;
    // Cancelled by stop() or a restart: nothing was measured, so nothing is
    // said; the entry keeps what stop() or start() made of it.
    if (!self || cancellation->isCancelled())
        co_return;
    if (!result.completed) {
        qCCritical(Log::health, "probe %s failed: %s", Log::printable(name).constData(),
                   qUtf8Printable(result.errorDescription));
        self->setStatus({name, HealthStatus::down, {}, clock->now()});
        co_return;
    }
    // Whole milliseconds, cut toward zero.
    const qint64 latencyMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock->monotonic() - started).count();
    const HealthStatus status = HealthProbe::verdict(result.status.has_value(), latencyMs);
    qCInfo(Log::health, "probe %s → %s [%lld, %lldms]", Log::printable(name).constData(),
           qUtf8Printable(rawValue(status)), qint64(result.status.value_or(-1)), latencyMs);
    self->setStatus({name, status, latencyMs, clock->now()});
}
