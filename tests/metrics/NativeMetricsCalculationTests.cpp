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
const Sampler::MonotonicClock::time_point boot{std::chrono::seconds(5000)};

// One interface "eth0" with these counts.
Network network(uint64_t received, uint64_t transmitted, Sampler::MonotonicClock::time_point at) {
    return Sampler::networkCounters({{"eth0", received, transmitted}}, at);
}

platform::InterfaceTraffic traffic(const std::string& name, uint64_t received, uint64_t transmitted) {
    return {name, received, transmitted};
}

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
    // 100 − vmstat's id − wa: steal is busy, guest is already inside user and nice.
    EXPECT_EQ(counters.active, 100u + 7 + 20 + 3 + 4 + 500);
    EXPECT_EQ(counters.idle, 1030u);

    const uint64_t sixteenGiB = 17'179'869'184;
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{sixteenGiB, sixteenGiB - 2'785'280'000}, sixteenGiB),
              (Sampler::ByteUsage{2'785'280'000, sixteenGiB}));
    EXPECT_EQ(Sampler::memoryUsage(std::nullopt, sixteenGiB), (Sampler::ByteUsage{0, sixteenGiB}));
    // Available above total floors at 0; used above the installed memory is capped.
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{100, 200}, 1000), (Sampler::ByteUsage{0, 1000}));
    EXPECT_EQ(Sampler::memoryUsage(platform::MemoryInfo{5000, 1000}, 3000), (Sampler::ByteUsage{3000, 3000}));

    // df: Used = (blocks − free) × fragment; Use% = used ÷ (used + available) rounded up.
    // The reserved blocks (free − available) are in neither.
    const auto disk = Sampler::diskUsage(platform::FileSystemBlocks{1000, 300, 250, 4096});
    EXPECT_EQ(disk, (Sampler::ByteUsage{700 * 4096, 950 * 4096}));
    EXPECT_EQ(std::ceil(static_cast<double>(disk.used) / static_cast<double>(disk.total) * 100), 74);
    // The case the reader got wrong: 271 GB with 5 % reserved, 18 % used.
    const uint64_t blocks = 66'162'000;  // × 4096 ≈ 271 GB
    const auto roomy = Sampler::diskUsage(platform::FileSystemBlocks{blocks, blocks - 11'500'000, blocks - 11'500'000 - 3'308'100, 4096});
    EXPECT_EQ(roomy.used, 11'500'000ull * 4096);
    EXPECT_NEAR(static_cast<double>(roomy.used) / static_cast<double>(roomy.total) * 100, 18.30, 0.01);
    // Free above the size (a file system that lies): nothing used.
    EXPECT_EQ(Sampler::diskUsage(platform::FileSystemBlocks{1000, 2000, 2000, 512}), (Sampler::ByteUsage{0, 2000 * 512}));
    EXPECT_EQ(Sampler::diskUsage(platform::FileSystemBlocks{0, 0, 0, 4096}), (Sampler::ByteUsage{0, 0}));
    EXPECT_EQ(Sampler::diskUsage(std::nullopt), (Sampler::ByteUsage{0, 0}));
}

TEST(NativeMetricsCalculation, NetworkRates) {
    const Network previous = network(1'000'000, 50, boot);
    const auto rates = Sampler::calculateNetworkRates(previous, network(1'500'000, 150, boot + 500ms));
    EXPECT_DOUBLE_EQ(rates.received, 1'000'000);
    EXPECT_DOUBLE_EQ(rates.transmitted, 200);

    const auto same = Sampler::calculateNetworkRates(network(0, 0, boot), network(10, 0, boot));
    EXPECT_DOUBLE_EQ(same.received, 10'000);

    const auto first = Sampler::calculateNetworkRates(std::nullopt, network(1'000'000, 1'000'000, boot));
    EXPECT_EQ(first.received, 0);
    EXPECT_EQ(first.transmitted, 0);

    // An interface reset: its counters go down, its delta alone is 0.
    const auto reset = Sampler::calculateNetworkRates(network(9'000'000'000, 500, boot), network(100, 700, boot + 1s));
    EXPECT_EQ(reset.received, 0);
    EXPECT_DOUBLE_EQ(reset.transmitted, 200);
}

TEST(NativeMetricsCalculation, InterfacesComeAndGoWithoutZerosOrSpikes) {
    const auto before = Sampler::networkCounters(
        {traffic("eth0", 1'000'000, 2'000), traffic("wlan0", 5'000'000, 7'000), traffic("usb0", 9'000, 9'000)}, boot);
    EXPECT_EQ(before.received, 6'009'000u);
    // usb0 unplugged, wwan0 plugged in with a large count since its start, eth0 and wlan0 moved on.
    const auto after = Sampler::networkCounters(
        {traffic("eth0", 1'100'000, 2'500), traffic("wwan0", 80'000'000, 60'000), traffic("wlan0", 5'050'000, 7'100)},
        boot + 1s);
    const auto rates = Sampler::calculateNetworkRates(before, after);
    EXPECT_DOUBLE_EQ(rates.received, 150'000);  // not 0 for the vanished usb0, no spike from wwan0
    EXPECT_DOUBLE_EQ(rates.transmitted, 600);
    // From the next snapshot on, wwan0 counts.
    const auto later = Sampler::networkCounters(
        {traffic("eth0", 1'100'000, 2'500), traffic("wwan0", 80'001'000, 60'000), traffic("wlan0", 5'050'000, 7'100)},
        boot + 2s);
    EXPECT_DOUBLE_EQ(Sampler::calculateNetworkRates(after, later).received, 1'000);
}

TEST(NativeMetricsCalculation, EachByteIsCountedOnce) {
    using Traits = platform::InterfaceTraits;
    const auto reading = [](const std::string& name, Traits traits) {
        return Sampler::InterfaceReading{traffic(name, 1, 1), traits};
    };
    const Traits loopback{platform::interfaceFlagLoopback, false, false, false, false};
    const Traits physical{0x1003, true, false, false, false};
    const Traits bridge{0x1003, false, true, false, false};
    const Traits veth{0x1003, false, false, true, false};
    const Traits tun{0x1091, false, false, false, true};
    const Traits otherVirtual{0x1003, false, false, false, false};  // a VM's paravirtual NIC without a device, a dummy
    const auto names = [](const std::vector<platform::InterfaceTraffic>& list) {
        std::vector<std::string> out;
        for (const auto& interface : list) out.push_back(interface.name);
        return out;
    };
    // A desktop with Docker and a VPN: the NICs only.
    EXPECT_EQ(names(Sampler::countedInterfaces({reading("lo", loopback), reading("enp3s0", physical),
                                                reading("docker0", bridge), reading("veth1a2b", veth),
                                                reading("tun0", tun), reading("wlp2s0", physical)})),
              (std::vector<std::string>{"enp3s0", "wlp2s0"}));
    // No physical interface: the rest less bridges, veth and tun/tap.
    EXPECT_EQ(names(Sampler::countedInterfaces({reading("lo", loopback), reading("docker0", bridge),
                                                reading("veth0", veth), reading("ens0", otherVirtual),
                                                reading("tap0", tun)})),
              (std::vector<std::string>{"ens0"}));
    // A container: its own end of a veth pair is all there is.
    EXPECT_EQ(names(Sampler::countedInterfaces({reading("lo", loopback), reading("eth0", veth)})),
              (std::vector<std::string>{"eth0"}));
    EXPECT_TRUE(Sampler::countedInterfaces({reading("lo", loopback), reading("br0", bridge)}).empty());
    // A physical loopback is still loopback.
    EXPECT_TRUE(Sampler::countedInterfaces({reading("lo", Traits{0x9, true, false, false, false})}).empty());
}

TEST(NativeMetricsCalculation, SampleIsClampedAndTimed) {
    const Network previous = network(0, 0, boot + 1234ms);
    const Network current = network(0, 0, boot + 1234ms + 2999700us);
    const auto now = epoch + 4233ms + 999us;
    // The wall clock says nothing about the interval: it may have been set back meanwhile.
    auto sample = Sampler::makeSample(now, boot + 4233ms, 300, {5, 6}, {10, 40}, {1, 4}, current, previous);
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
    sample = Sampler::makeSample(now, boot, nan, {-3, nan}, {0, 0}, {0, 0}, network(0, 0, boot + 200us), std::nullopt);
    EXPECT_EQ(sample.cpuUsage, 0);
    EXPECT_EQ(sample.memoryTotal, 1u);
    EXPECT_EQ(sample.memoryPercent, 0);
    EXPECT_EQ(sample.diskTotal, 0u);
    EXPECT_EQ(sample.diskPercent, 0);
    EXPECT_EQ(sample.rxBps, 0);
    EXPECT_EQ(sample.txBps, 0);
    EXPECT_EQ(sample.intervalMs, 1);
    sample = Sampler::makeSample(now, boot, -5, {}, {0, 0}, {0, 0}, network(0, 0, boot - 5s), previous);
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
