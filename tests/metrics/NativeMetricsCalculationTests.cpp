#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "metrics/NativeMetricsSampler.h"

namespace {

using Sampler = NativeMetricsSampler;
using Counters = Sampler::CPUCounters;
using Network = Sampler::NetworkCounters;
using namespace std::chrono_literals;

const Sampler::Clock::time_point epoch{std::chrono::seconds(1'800'000'000)};

TEST(NativeMetricsCalculation, CPUUsage) {
    EXPECT_DOUBLE_EQ(Sampler::calculateCPUUsage(Counters{1000, 9000}, Counters{1300, 9700}), 30);
    // Total going down, equal totals, an absent side.
    EXPECT_EQ(Sampler::calculateCPUUsage(Counters{1300, 9700}, Counters{1000, 9000}), 0);
    EXPECT_EQ(Sampler::calculateCPUUsage(Counters{1000, 9000}, Counters{1000, 9000}), 0);
    EXPECT_EQ(Sampler::calculateCPUUsage(Counters{500, 9500}, Counters{1000, 9000}), 0);
    EXPECT_EQ(Sampler::calculateCPUUsage(std::nullopt, Counters{1000, 9000}), 0);
    EXPECT_EQ(Sampler::calculateCPUUsage(Counters{1000, 9000}, std::nullopt), 0);
    // Active down while the total goes up: floored at 0, not wrapped around.
    EXPECT_EQ(Sampler::calculateCPUUsage(Counters{1000, 9000}, Counters{900, 9200}), 0);
    // Idle down while the total goes up computes above 100; the sample clamps it.
    const double over = Sampler::calculateCPUUsage(Counters{1000, 9000}, Counters{1300, 8800});
    EXPECT_DOUBLE_EQ(over, 300.0);
    // Counters beyond 32 bits are not truncated.
    EXPECT_DOUBLE_EQ(Sampler::calculateCPUUsage(Counters{5'000'000'000, 1}, Counters{5'000'000'100, 101}), 50);
}

TEST(NativeMetricsCalculation, KernelFiguresCombine) {
    platform::CPUTimes times;
    times.user = 100;
    times.nice = 7;
    times.system = 20;
    times.idle = 1000;
    times.iowait = 30;
    times.irq = 3;
    times.softirq = 4;
    times.steal = 500;
    times.guest = 60;
    times.guestNice = 70;
    const auto counters = Sampler::cpuCounters(times);
    EXPECT_EQ(counters.active, 100u + 20 + 3 + 4 + 7);
    EXPECT_EQ(counters.idle, 1030u);

    const uint64_t sixteenGiB = 17'179'869'184;
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{sixteenGiB, sixteenGiB - 2'785'280'000}, sixteenGiB),
              (Sampler::ByteUsage{2'785'280'000, sixteenGiB}));
    EXPECT_EQ(Sampler::memoryUsage(std::nullopt, sixteenGiB), (Sampler::ByteUsage{0, sixteenGiB}));
    // Available above total floors at 0; used above the installed memory is capped.
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{100, 200}, 1000), (Sampler::ByteUsage{0, 1000}));
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{5000, 1000}, 3000), (Sampler::ByteUsage{3000, 3000}));

    EXPECT_EQ(Sampler::diskUsage(platform::FileSystemSpace{1000, 250}), (Sampler::ByteUsage{750, 1000}));
    EXPECT_EQ(Sampler::diskUsage(platform::FileSystemSpace{1000, 2000}), (Sampler::ByteUsage{0, 1000}));
    EXPECT_EQ(Sampler::diskUsage(std::nullopt), (Sampler::ByteUsage{0, 0}));
}

TEST(NativeMetricsCalculation, NetworkRates) {
    const Network previous{1'000'000, 50, epoch};
    const auto rates = Sampler::calculateNetworkRates(previous, Network{1'500'000, 150, epoch + 500ms});
    EXPECT_DOUBLE_EQ(rates.received, 1'000'000);
    EXPECT_DOUBLE_EQ(rates.transmitted, 200);

    const auto same = Sampler::calculateNetworkRates(Network{0, 0, epoch}, Network{10, 0, epoch});
    EXPECT_DOUBLE_EQ(same.received, 10'000);

    // A clock step backwards still divides by the floor, never by a negative span.
    const auto backwards = Sampler::calculateNetworkRates(Network{0, 0, epoch}, Network{10, 0, epoch - 2s});
    EXPECT_DOUBLE_EQ(backwards.received, 10'000);

    const auto first = Sampler::calculateNetworkRates(std::nullopt, Network{1'000'000, 1'000'000, epoch});
    EXPECT_EQ(first.received, 0);
    EXPECT_EQ(first.transmitted, 0);

    // An interface removed or reset: counters go down, the delta is 0.
    const auto reset = Sampler::calculateNetworkRates(Network{9'000'000'000, 500, epoch}, Network{100, 700, epoch + 1s});
    EXPECT_EQ(reset.received, 0);
    EXPECT_DOUBLE_EQ(reset.transmitted, 200);
}

TEST(NativeMetricsCalculation, SampleIsClampedAndTimed) {
    const Network previous{0, 0, epoch + 1234ms};
    const Network network{0, 0, epoch + 1234ms + 2999700us};
    const auto now = epoch + 4233ms + 999us;
    auto sample = Sampler::makeSample(now, 300, {5, 6}, {10, 40}, {1, 4}, network, previous);
    EXPECT_EQ(sample.ts, 1'800'000'004'233);
    EXPECT_EQ(sample.intervalMs, 2999);  // truncated, not rounded
    EXPECT_EQ(sample.cpuUsage, 100);
    EXPECT_EQ(sample.memoryUsed, 10u);
    EXPECT_EQ(sample.memoryTotal, 40u);
    EXPECT_DOUBLE_EQ(sample.memoryPercent, 25);
    EXPECT_DOUBLE_EQ(sample.rxBps, 5);
    EXPECT_DOUBLE_EQ(sample.txBps, 6);
    EXPECT_DOUBLE_EQ(sample.diskPercent, 25);
    EXPECT_FALSE(sample.diskReadBps || sample.diskWriteBps || sample.batteryPercent || sample.batteryCharging);

    // Zero totals, non-finite and negative inputs, an interval below 1 ms, no previous snapshot.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    sample = Sampler::makeSample(now, nan, {-3, nan}, {0, 0}, {0, 0}, Network{0, 0, now + 200us}, std::nullopt);
    EXPECT_EQ(sample.cpuUsage, 0);
    EXPECT_EQ(sample.memoryTotal, 1u);
    EXPECT_EQ(sample.memoryPercent, 0);
    EXPECT_EQ(sample.diskTotal, 0u);
    EXPECT_EQ(sample.diskPercent, 0);
    EXPECT_EQ(sample.rxBps, 0);
    EXPECT_EQ(sample.txBps, 0);
    EXPECT_EQ(sample.intervalMs, 1);
    sample = Sampler::makeSample(now, -5, {}, {0, 0}, {0, 0}, Network{0, 0, now - 5s}, previous);
    EXPECT_EQ(sample.cpuUsage, 0);
    EXPECT_EQ(sample.intervalMs, 1);
}

TEST(NativeMetricsCalculation, BodyEncoding) {
    Sampler::MetricSample sample;
    sample.ts = 1'800'000'000'123;
    sample.intervalMs = 1000;
    sample.cpuUsage = 12.5;
    sample.memoryUsed = 18'000'000'000'000'000'000u;  // above the signed 64-bit range
    sample.memoryTotal = 18'400'000'000'000'000'000u;
    sample.memoryPercent = 97.8;
    sample.rxBps = 0;
    sample.txBps = 1e6;
    sample.diskUsed = 3;
    sample.diskTotal = 4;
    sample.diskPercent = 75;
    auto encoded = Sampler::IngestBody{{sample}}.encoded();
    ASSERT_TRUE(std::holds_alternative<std::string>(encoded));
    const std::string& text = std::get<std::string>(encoded);
    EXPECT_EQ(text,
              "{\"samples\":[{\"ts\":1800000000123,\"intervalMs\":1000,\"cpuUsage\":12.5,"
              "\"memoryUsed\":18000000000000000000,\"memoryTotal\":18400000000000000000,\"memoryPercent\":97.8,"
              "\"rxBps\":0.0,\"txBps\":1000000.0,\"diskUsed\":3,\"diskTotal\":4,\"diskPercent\":75.0}]}");

    // Filled optionals are written (only the encoder's rule; the sampler never fills them).
    sample.batteryCharging = false;
    sample.diskReadBps = 2;
    const auto withOptionals = nlohmann::ordered_json::parse(std::get<std::string>(Sampler::IngestBody{{sample}}.encoded()));
    EXPECT_EQ(withOptionals["samples"][0].size(), 13u);
    EXPECT_EQ(withOptionals["samples"][0]["batteryCharging"], false);

    // A non-finite double is refused, never written as null.
    for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        Sampler::MetricSample broken;
        broken.txBps = bad;
        auto result = Sampler::IngestBody{{broken}}.encoded();
        ASSERT_TRUE(std::holds_alternative<platform::Error>(result));
        EXPECT_NE(std::get<platform::Error>(result).description.find("txBps"), std::string::npos);
    }
    EXPECT_EQ(Sampler::describe(platform::Error{"NSURLErrorDomain", -1001, "The request timed out."}),
              "Error Domain=NSURLErrorDomain Code=-1001 \"The request timed out.\"");
}

}  // namespace
