#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/URLSession.h"

class NodeServerManager;
namespace platform {
class ProcessTable;
struct ProcessRecord;
}

// Why a process sampling step failed.
class ProcessSamplerError {
public:
    enum class Case { http = 0, commandTimeout = 1 };
    static constexpr const char* domain = "Tidemark.ProcessSamplerError";

    static ProcessSamplerError http(long statusCode) { return ProcessSamplerError(Case::http, statusCode, {}); }
    static ProcessSamplerError commandTimeout(std::string what) {
        return ProcessSamplerError(Case::commandTimeout, 0, std::move(what));
    }

    Case kind() const { return kind_; }
    long statusCode() const { return statusCode_; }
    const std::string& what() const { return what_; }
    std::string localizedDescription() const;
    platform::Error asError() const;

private:
    ProcessSamplerError(Case kind, long statusCode, std::string what)
        : kind_(kind), statusCode_(statusCode), what_(std::move(what)) {}
    Case kind_;
    long statusCode_;
    std::string what_;
};

// Every two seconds reads every process's usage and network counters, keeps the busiest
// and posts them to the local server. All state lives on its own serial queue.
// Create with std::make_shared: the timer and completions hold it weakly.
class NativeProcessSampler : public std::enable_shared_from_this<NativeProcessSampler> {
public:
    struct RawUsage {
        int32_t pid = 0;
        std::string name;
        uint64_t startTime = 0;
        uint64_t cpuTime = 0;  // nanoseconds
        uint64_t residentBytes = 0;
        uint64_t diskReadBytes = 0;
        uint64_t diskWriteBytes = 0;
    };

    struct NetworkUsage {
        uint64_t receivedBytes = 0;
        uint64_t transmittedBytes = 0;
        bool operator==(const NetworkUsage&) const = default;
    };

    struct ProcessEntry {
        int32_t pid = 0;
        std::string name;
        double cpuPercent = 0;
        uint64_t memoryBytes = 0;
        double memoryPercent = 0;
        double diskReadBps = 0;
        double diskWriteBps = 0;
        double downloadBps = 0;
        double uploadBps = 0;
        bool operator==(const ProcessEntry&) const = default;
    };

    struct IngestBody {
        int64_t sampledAt = 0;  // milliseconds since the epoch
        std::vector<ProcessEntry> processes;
    };

    struct Timebase {
        uint32_t numer = 1;
        uint32_t denom = 1;
    };

    using UsageMap = std::unordered_map<int32_t, RawUsage>;
    using NetworkMap = std::unordered_map<int32_t, NetworkUsage>;
    // "sampledAt" only; elapsed time and the failure throttle use MonotonicClock.
    using Clock = std::chrono::system_clock;
    using MonotonicClock = std::chrono::steady_clock;

    // The real values by default; tests shorten them and point the network stage
    // at their own commands.
    struct Configuration {
        std::chrono::milliseconds interval{2000};
        std::chrono::milliseconds leeway{150};
        std::chrono::milliseconds networkSampleTimeout{3000};
        std::chrono::milliseconds outputTimeout{1000};
        std::chrono::milliseconds terminationGrace{250};
        std::chrono::milliseconds killGrace{250};
        std::chrono::milliseconds drainGrace{250};
        // The tool writes a line per process; more than this is a runaway.
        size_t maximumNetworkOutput = 16 * 1024 * 1024;
        std::chrono::milliseconds failureLogInterval{30000};
        // Absent: "tidemark-nettop" beside the running executable.
        std::optional<std::string> networkCommandPath;
        std::string procRoot = "/proc";
        // Absent: the system clock. Gives "sampledAt" only.
        std::function<Clock::time_point()> clock;
        // Absent: the steady clock.
        std::function<MonotonicClock::time_point()> monotonicClock;
    };

    static constexpr const char* queueLabel = "Tidemark.NativeProcessSampler";
    static constexpr const char* ingestPath = "api/processes/ingest";
    static constexpr size_t entriesPerMeasure = 8;

    explicit NativeProcessSampler(std::shared_ptr<NodeServerManager> serverManager);
    NativeProcessSampler(std::shared_ptr<NodeServerManager> serverManager, Configuration configuration);
    ~NativeProcessSampler();
    NativeProcessSampler(const NativeProcessSampler&) = delete;
    NativeProcessSampler& operator=(const NativeProcessSampler&) = delete;

    void start();
    void stop();

    // The stages of one cycle. Run on `queue` (or, in tests, while the sampler is not started).
    void sampleAndSend();
    UsageMap readAllProcessUsage();
    NetworkMap readNetworkUsage();
    void send(const std::vector<ProcessEntry>& entries, Clock::time_point sampledAt);
    void logFailureIfNeeded(const platform::Error& error);

    static NetworkMap parseNetworkUsage(const std::string& text);
    static std::vector<ProcessEntry> selectTopEntries(const std::vector<ProcessEntry>& entries);
    // One entry per process of usage (network-only processes get none). When the previous
    // network map is complete (the tool ran), a process it does not list had no traffic
    // then: its counts are taken as 0, so the bytes of its first connection are not lost.
    static std::vector<ProcessEntry> makeEntries(const UsageMap& usage, const UsageMap& previousUsage,
                                                 const NetworkMap& network, const NetworkMap& previousNetwork,
                                                 double elapsedSeconds, uint64_t totalMemory,
                                                 bool previousNetworkComplete = false);
    static uint64_t nanoseconds(uint64_t ticks, Timebase timebase);
    // Bytes before the first zero byte as UTF-8, invalid sequences replaced by U+FFFD.
    static std::string decodeName(std::string_view bytes);
    // The compact JSON of a body; an encoding error for a non-finite number.
    static std::optional<std::string> encode(const IngestBody& body, platform::Error& error);

    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
    Timebase machTimebase() const { return machTimebase_; }
    bool shouldSimulateNetworkHang() const { return shouldSimulateNetworkHang_; }
    bool isRequestInFlight() const { return requestInFlight_; }  // read on `queue`
    std::string networkCommandPath() const;

private:
    Clock::time_point now() const;
    MonotonicClock::time_point monotonicNow() const;
    void handleCompletion(std::optional<platform::HTTPURLResponse> response, std::optional<platform::Error> error);

    std::shared_ptr<NodeServerManager> serverManager_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::shared_ptr<platform::URLSession> session_;
    Timebase machTimebase_;
    std::shared_ptr<platform::DispatchTimer> timer_;
    // Keeps each process's files open from one cycle to the next.
    std::unique_ptr<platform::ProcessTable> processTable_;
    // Its readings, kept so that each cycle reuses the last one's names and storage.
    std::vector<platform::ProcessRecord> processRecords_;
    UsageMap previousUsage_;
    NetworkMap previousNetwork_;
    bool previousNetworkComplete_ = false;
    bool networkReadSucceeded_ = false;  // set by readNetworkUsage()
    std::optional<MonotonicClock::time_point> previousSampleAt_;
    bool requestInFlight_ = false;
    std::optional<MonotonicClock::time_point> lastFailureLog_;  // absent: the distant past
    Configuration configuration_;
    bool shouldSimulateNetworkHang_;
};
