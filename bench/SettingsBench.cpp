#include "shared/settings/SharedDefaults.h"

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

SubscriptionMetadata typicalMetadata() {
    QList<EdgeInfo> edges;
    for (int i = 0; i < 12; ++i)
        edges.append({u"edge-"_s + QString::number(i), QString::number(i), u"host.example.net"_s});
    QStringList names;
    for (int i = 0; i < 20; ++i)
        names << u"ruleset-"_s + QString::number(i);
    return {edges, names, QDateTime::currentDateTimeUtc().addDays(30),
            QDateTime::currentDateTimeUtc()};
}

void TextRead(benchmark::State& state) {
    SharedDefaults::setSubscriptionToken(u"0123456789abcdef0123456789abcdef"_s);
    for (auto _ : state)
        benchmark::DoNotOptimize(SharedDefaults::subscriptionToken());
}
BENCHMARK(TextRead);

void TextWrite(benchmark::State& state) {
    int i = 0;
    for (auto _ : state)
        SharedDefaults::setPreferredEdgeTag(u"edge-"_s + QString::number(i++ % 8));
}
BENCHMARK(TextWrite);

void MetadataSave(benchmark::State& state) {
    const SubscriptionMetadata metadata = typicalMetadata();
    for (auto _ : state)
        SharedDefaults::saveMetadata(metadata);
}
BENCHMARK(MetadataSave);

void MetadataLoad(benchmark::State& state) {
    SharedDefaults::saveMetadata(typicalMetadata());
    for (auto _ : state)
        benchmark::DoNotOptimize(SharedDefaults::loadMetadata());
}
BENCHMARK(MetadataLoad);

} // namespace
