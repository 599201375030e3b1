// Wall-clock figures of the network components against a local server whose
// answers take a fixed time, with the largest stall of the main thread seen
// meanwhile (the user interface runs there).
#include "shared/health/HealthMonitor.h"
#include "shared/rulesets/RulesetCache.h"
#include "tests/support/Async.h"
#include "tests/support/HttpFixture.h"
#include "shared/net/NetworkAccess.h"

#include <QElapsedTimer>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

// Ticks every millisecond on the main thread and keeps the longest gap.
class StallMeter {
public:
    StallMeter() {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_worst = std::max(m_worst, now - m_last);
            m_last = now;
        });
        m_timer.start(1);
    }
    qint64 worstMs() const { return m_worst; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_worst = 0;
};

void RulesetRefresh(benchmark::State& state) {
    const int tags = int(state.range(0));
    HttpFixture service(HttpFixture::servicePort());
    QStringList names;
    for (int i = 0; i < tags; ++i) {
        names << u"set-"_s + QString::number(i);
        service.route("GET", u"/rulesets/"_s + names.last() + u".srs",
                      HttpFixture::Route::answer(200, QByteArray(200 * 1024, 'r'), 200));
    }
    qint64 worstStall = 0;
    for (auto _ : state) {
        StallMeter meter;
        Async::run(RulesetCache::refresh(names, 0));
        worstStall = std::max(worstStall, meter.worstMs());
    }
    state.counters["max_ui_stall_ms"] = double(worstStall);
}
BENCHMARK(RulesetRefresh)
    ->Arg(1)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

void HealthSweep(benchmark::State& state) {
    HttpFixture server;
    QHash<QString, QUrl> probes;
    for (const QString& name : HealthProbe::probesByRuleset().keys()) {
        probes.insert(name, server.url(u"/"_s + name));
        server.route("HEAD", u"/"_s + name, HttpFixture::Route::answer(200, {}, 300));
    }
    const QStringList names = probes.keys();
    for (auto _ : state) {
        HealthMonitor monitor(probes, Clock::system(), NetworkAccessFactory::standard());
        monitor.start(names);
        Async::waitUntil(
            [&] {
                return std::all_of(names.begin(), names.end(), [&](const QString& n) {
                    return monitor.statuses().value(n).status == HealthStatus::healthy;
                });
            },
            std::chrono::seconds(5));
        monitor.stop();
    }
}
BENCHMARK(HealthSweep)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace
