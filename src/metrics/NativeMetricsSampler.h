#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/SystemCounters.h"
#include "platform/URLSession.h"

class NodeServerManager;

// Posts one system-wide sample per second (CPU, memory, disk, network) to the local
// server's "api/metrics/ingest". All mutable state lives on `queue`.
class NativeMetricsSampler : public std::enable_shared_from_this<NativeMetricsSampler> {
public:
    // "ts" only; every interval is measured on MonotonicClock, which no one can set back.
    using Clock = std::chrono::system_clock;
    using MonotonicClock = std::chrono::steady_clock;

    // Cumulative processor ticks of all processors since boot.
    struct CPUCounters {
        uint64_t active = 0;  // user + nice + system + irq + softirq + steal
        uint64_t idle = 0;    // idle + iowait
    };

    // Cumulative bytes over the counted interfaces, stamped after the walk. The counts of
    // each interface are kept so that rates compare an interface only with itself.
    struct NetworkCounters {
        uint64_t received = 0;
        uint64_t transmitted = 0;
        MonotonicClock::time_point timestamp;
        std::vector<platform::InterfaceTraffic> interfaces;
    };

    // One interface of /proc/net/dev with what sysfs says of it.
    struct InterfaceReading {
        platform::InterfaceTraffic traffic;
        platform::InterfaceTraits traits;
    };

    // (used, total) in bytes.
    struct ByteUsage {
        uint64_t used = 0;
        uint64_t total = 0;
        bool operator==(const ByteUsage&) const = default;
    };

    // Bytes per second.
    struct NetworkRates {
        double received = 0;
        double transmitted = 0;
    };

    // Encoded with the keys in this order; empty optionals are left out.
    struct MetricSample {
        int64_t ts = 0;
        int64_t intervalMs = 1;
        double cpuUsage = 0;
        uint64_t memoryUsed = 0;
        uint64_t memoryTotal = 1;
        double memoryPercent = 0;
        double rxBps = 0;
        double txBps = 0;
        uint64_t diskUsed = 0;
        uint64_t diskTotal = 0;
        double diskPercent = 0;
        std::optional<double> diskReadBps;
        std::optional<double> diskWriteBps;
        std::optional<double> batteryPercent;
        std::optional<bool> batteryCharging;
    };

    struct IngestBody {
        std::vector<MetricSample> samples;
        // Compact JSON; a non-finite double is an error rather than a null.
        std::variant<std::string, platform::Error> encoded() const;
    };

    struct Timing {
        std::chrono::milliseconds firstTick{1000};
        std::chrono::milliseconds interval{1000};
        std::chrono::milliseconds leeway{100};
        double requestTimeout = 3;  // seconds, the session's limit
        std::chrono::milliseconds failureLogInterval{30000};
        // Absent: the system clock. Gives "ts" only.
        std::function<Clock::time_point()> wallClock;
    };

    static constexpr const char* queueLabel = "Tidemark.NativeMetricsSampler";
    static constexpr const char* ingestPath = "api/metrics/ingest";

    explicit NativeMetricsSampler(std::shared_ptr<NodeServerManager> serverManager);
    NativeMetricsSampler(std::shared_ptr<NodeServerManager> serverManager, Timing timing,
                         platform::SystemCounterSource source = platform::SystemCounterSource::live());
    ~NativeMetricsSampler();
    NativeMetricsSampler(const NativeMetricsSampler&) = delete;
    NativeMetricsSampler& operator=(const NativeMetricsSampler&) = delete;

    // Both return at once; the work runs on the sampler's queue. A stopped sampler stays stopped.
    void start();
    void stop();

    // Readers: one snapshot each, never an error (zeros or absent instead).
    static std::optional<CPUCounters> readCPUCounters(const platform::SystemCounterSource& source);
    static ByteUsage readMemory(const platform::SystemCounterSource& source);
    static ByteUsage readDisk(const platform::SystemCounterSource& source);
    static NetworkCounters readNetworkCounters(const platform::SystemCounterSource& source);

    // How the kernel's figures combine; pure.
    static CPUCounters cpuCounters(const platform::CPUTimes& times);
    static ByteUsage memoryUsage(const std::optional<platform::MemoryInfo>& info, uint64_t physicalMemory);
    static ByteUsage diskUsage(const std::optional<platform::FileSystemBlocks>& blocks);
    // Each byte once: the physical interfaces; without any, the non-loopback ones that are
    // not bridges, veth or tun/tap; without those either (a container's own veth end),
    // the non-loopback ones that are not bridges or tun/tap.
    static std::vector<platform::InterfaceTraffic> countedInterfaces(const std::vector<InterfaceReading>& readings);
    static NetworkCounters networkCounters(std::vector<platform::InterfaceTraffic> interfaces,
                                           MonotonicClock::time_point timestamp);
    static double calculateCPUUsage(const std::optional<CPUCounters>& previous, const std::optional<CPUCounters>& current);
    static NetworkRates calculateNetworkRates(const std::optional<NetworkCounters>& previous,
                                              const NetworkCounters& current);

    // One tick's readings turned into the sample that goes on the wire (clamped, interval
    // from the network snapshots or from now when there was no previous one).
    static MetricSample makeSample(Clock::time_point now, MonotonicClock::time_point monotonicNow, double cpuUsage, NetworkRates rates, ByteUsage memory,
                                   ByteUsage disk, const NetworkCounters& network,
                                   const std::optional<NetworkCounters>& previousNetwork);

    // "Error Domain=<domain> Code=<code> \"<description>\"", the way the platform prints an error.
    static std::string describe(const platform::Error& error);

private:
    void sampleAndSend();
    Clock::time_point wallNow() const;
    void handleCompletion(const std::optional<platform::HTTPURLResponse>& response,
                          const std::optional<platform::Error>& error);
    void logFailureIfNeeded(const std::optional<platform::Error>& error, std::optional<long> status);

    std::shared_ptr<NodeServerManager> serverManager_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::shared_ptr<platform::URLSession> session_;
    std::shared_ptr<platform::DispatchTimer> timer_;
    std::optional<CPUCounters> previousCPU_;
    std::optional<NetworkCounters> previousNetwork_;
    bool requestInFlight_ = false;
    // Absent: the distant past. Monotonic, so a wall-clock step back cannot silence failures.
    std::optional<std::chrono::steady_clock::time_point> lastFailureLog_;
    const Timing timing_;
    const platform::SystemCounterSource source_;
};
