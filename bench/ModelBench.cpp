#include "shared/coding/JsonCoding.h"
#include "shared/model/SingboxClientConfig.h"

#include <benchmark/benchmark.h>

namespace {

// A sing-box client configuration of about 1 MiB: 2,000 outbounds of the
// shape the service sends (most of them edges) and 200 rule-set references.
QByteArray largeConfig() {
    QByteArray json =
        R"({"log":{"level":"warn"},"dns":{"servers":[{"tag":"remote","address":"tls://1.1.1.1"}]},"outbounds":[)";
    for (int i = 0; i < 2000; ++i) {
        if (i)
            json += ',';
        if (i % 10 == 0) {
            json +=
                R"({"type":"selector","tag":"select-)" + QByteArray::number(i) +
                R"(","outbounds":["auto","direct"],"default":"auto","interrupt_exist_connections":true})";
            continue;
        }
        json +=
            R"({"type":"vless","tag":"nl-ams-)" + QByteArray::number(i) + R"(","server":"edge)" +
            QByteArray::number(i) +
            R"(.nl.example.net","server_port":443,"uuid":"3f0c2d7e-8a1b-4c5d-9e6f-0123456789ab","flow":"xtls-rprx-vision","packet_encoding":"xudp","domain_strategy":"prefer_ipv4","tls":{"enabled":true,"server_name":"www.microsoft.com","utls":{"enabled":true,"fingerprint":"chrome"},"reality":{"enabled":true,"public_key":"aN0tR3alPubl1cKeyF0rBenchmarksOnly0123456789","short_id":"0123abcd"}},"multiplex":{"enabled":false,"protocol":"h2mux","max_connections":4,"min_streams":4,"padding":true}})";
    }
    json += R"(],"route":{"final":"select-0","auto_detect_interface":true,"rules":[],"rule_set":[)";
    for (int i = 0; i < 200; ++i) {
        if (i)
            json += ',';
        json +=
            R"({"tag":"geosite-)" + QByteArray::number(i) +
            R"(","type":"remote","format":"binary","url":"https://api.example.net/rulesets/geosite-)" +
            QByteArray::number(i) + R"(.srs","download_detour":"direct","update_interval":"1d"})";
    }
    return json + "]}}";
}

void DecodeAndCondenseLargeConfig(benchmark::State& state) {
    const QByteArray json = largeConfig();
    const JsonDecoder decoder(JsonDecoder::KeyDecodingStrategy::convertFromSnakeCase);
    for (auto _ : state) {
        const SingboxClientConfig config = decoder.decode<SingboxClientConfig>(json);
        benchmark::DoNotOptimize(config.edges());
        benchmark::DoNotOptimize(config.rulesetNames());
    }
    state.counters["bytes"] = double(json.size());
}
BENCHMARK(DecodeAndCondenseLargeConfig)->Unit(benchmark::kMillisecond);

// The parse alone: the floor under the decode above.
void ParseLargeConfig(benchmark::State& state) {
    const QByteArray json = largeConfig();
    const JsonDecoder decoder;
    for (auto _ : state) {
        const JsonDocument document(decoder, json);
        benchmark::DoNotOptimize(document.root().type());
    }
}
BENCHMARK(ParseLargeConfig)->Unit(benchmark::kMillisecond);

} // namespace
