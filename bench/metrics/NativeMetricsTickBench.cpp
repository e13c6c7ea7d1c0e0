// The CPU cost of one sampling tick without the network: read the live counters, build
// the sample and encode the body.
#include <benchmark/benchmark.h>

#include "metrics/NativeMetricsSampler.h"

namespace {

using Sampler = NativeMetricsSampler;

void BM_TickWithoutNetwork(benchmark::State& state) {
    const auto source = platform::SystemCounterSource::live();
    auto previousCPU = Sampler::readCPUCounters(source);
    std::optional<Sampler::NetworkCounters> previousNetwork = Sampler::readNetworkCounters(source);
    for (auto _ : state) {
        const auto now = Sampler::Clock::now();
        const auto cpu = Sampler::readCPUCounters(source);
        const auto network = Sampler::readNetworkCounters(source);
        const auto memory = Sampler::readMemory(source);
        const auto disk = Sampler::readDisk(source);
        const double usage = Sampler::calculateCPUUsage(previousCPU, cpu);
        const auto rates = Sampler::calculateNetworkRates(previousNetwork, network);
        const auto sample = Sampler::makeSample(now, Sampler::MonotonicClock::now(), usage, rates, memory, disk,
                                                network, previousNetwork);
        previousCPU = cpu;
        previousNetwork = network;
        auto body = Sampler::IngestBody{{sample}}.encoded();
        benchmark::DoNotOptimize(body);
    }
}
BENCHMARK(BM_TickWithoutNetwork)->Unit(benchmark::kMicrosecond);

// Each reader alone, to see where a tick's time goes.
template <auto Reader>
void BM_Reader(benchmark::State& state) {
    const auto source = platform::SystemCounterSource::live();
    for (auto _ : state) {
        auto value = Reader(source);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_Reader<&Sampler::readCPUCounters>)->Name("BM_ReadCPUCounters")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reader<&Sampler::readNetworkCounters>)->Name("BM_ReadNetworkCounters")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reader<&Sampler::readMemory>)->Name("BM_ReadMemory")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reader<&Sampler::readDisk>)->Name("BM_ReadDisk")->Unit(benchmark::kMicrosecond);

void BM_EncodeOnly(benchmark::State& state) {
    Sampler::MetricSample sample;
    sample.ts = 1'800'000'000'123;
    sample.cpuUsage = 12.345678;
    sample.memoryUsed = 8'123'456'789;
    sample.memoryTotal = 16'000'000'000;
    sample.memoryPercent = 50.77;
    sample.rxBps = 123456.789;
    sample.txBps = 9876.5;
    for (auto _ : state) {
        auto body = Sampler::IngestBody{{sample}}.encoded();
        benchmark::DoNotOptimize(body);
    }
}
BENCHMARK(BM_EncodeOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
