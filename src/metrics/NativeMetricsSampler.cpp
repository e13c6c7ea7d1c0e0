#include "metrics/NativeMetricsSampler.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/Log.h"
#include "server/NodeServerManager.h"

namespace {

double clampPercent(double value) {
    if (!std::isfinite(value) || value < 0) return 0;
    return std::min(value, 100.0);
}

double percentOf(uint64_t used, uint64_t total) {
    return total == 0 ? 0 : static_cast<double>(used) / static_cast<double>(total) * 100;
}

}  // namespace

// Readers

NativeMetricsSampler::CPUCounters NativeMetricsSampler::cpuCounters(const platform::CPUTimes& times) {
    // As vmstat: busy = us + sy + st, idle = id + wa. Interrupt time is kernel time;
    // guest time is already inside user and nice, so it is not added again; stolen time
    // was not available to this machine, so it is not idle either.
    const uint64_t system = times.system + times.irq + times.softirq;
    return CPUCounters{times.user + times.nice + system + times.steal, times.idle + times.iowait};
}

std::optional<NativeMetricsSampler::CPUCounters> NativeMetricsSampler::readCPUCounters(
    const platform::SystemCounterSource& source) {
    auto times = platform::readCPUTimes(source);
    if (!times) return std::nullopt;
    return cpuCounters(*times);
}

NativeMetricsSampler::ByteUsage NativeMetricsSampler::memoryUsage(const std::optional<platform::MemoryInfo>& info,
                                                                  uint64_t physicalMemory) {
    if (!info) return ByteUsage{0, physicalMemory};
    const uint64_t used = info->total > info->available ? info->total - info->available : 0;
    return ByteUsage{std::min(used, physicalMemory), physicalMemory};
}

NativeMetricsSampler::ByteUsage NativeMetricsSampler::readMemory(const platform::SystemCounterSource& source) {
    const uint64_t total = platform::readPhysicalMemory(source);
    return memoryUsage(platform::readMemoryInfo(source), total);
}

NativeMetricsSampler::ByteUsage NativeMetricsSampler::diskUsage(const std::optional<platform::FileSystemBlocks>& blocks) {
    if (!blocks) return ByteUsage{0, 0};
    // As df: Used counts the blocks in use, and Use% divides it by what an ordinary user
    // could have (used + available); the blocks reserved for root are in neither. That sum
    // is the total, so used ≤ total and used ÷ total is df's Use% before its rounding up.
    const uint64_t usedBlocks = blocks->blocks > blocks->freeBlocks ? blocks->blocks - blocks->freeBlocks : 0;
    const uint64_t used = usedBlocks * blocks->fragmentSize;
    return ByteUsage{used, used + blocks->availableBlocks * blocks->fragmentSize};
}

NativeMetricsSampler::ByteUsage NativeMetricsSampler::readDisk(const platform::SystemCounterSource& source) {
    return diskUsage(platform::readFileSystemBlocks(source, source.homeDirectory));
}

std::vector<platform::InterfaceTraffic> NativeMetricsSampler::countedInterfaces(
    const std::vector<InterfaceReading>& readings) {
    const auto pick = [&](auto counts) {
        std::vector<platform::InterfaceTraffic> counted;
        for (const auto& reading : readings) {
            // Loopback is told by its flag: names are free to choose.
            if (reading.traits.flags & platform::interfaceFlagLoopback) continue;
            if (counts(reading.traits)) counted.push_back(reading.traffic);
        }
        return counted;
    };
    auto counted = pick([](const platform::InterfaceTraits& traits) { return traits.physical; });
    if (counted.empty()) {
        counted = pick([](const platform::InterfaceTraits& traits) {
            return !traits.bridge && !traits.veth && !traits.tunTap;
        });
    }
    if (counted.empty()) {
        counted = pick([](const platform::InterfaceTraits& traits) { return !traits.bridge && !traits.tunTap; });
    }
    return counted;
}

NativeMetricsSampler::NetworkCounters NativeMetricsSampler::networkCounters(
    std::vector<platform::InterfaceTraffic> interfaces, MonotonicClock::time_point timestamp) {
    NetworkCounters counters;
    for (const auto& interface : interfaces) {
        counters.received += interface.received;
        counters.transmitted += interface.transmitted;
    }
    counters.interfaces = std::move(interfaces);
    counters.timestamp = timestamp;
    return counters;
}

NativeMetricsSampler::NetworkCounters NativeMetricsSampler::readNetworkCounters(
    const platform::SystemCounterSource& source) {
    std::vector<InterfaceReading> readings;
    bool anyPhysical = false;
    if (auto interfaces = platform::readInterfaceTraffic(source)) {
        readings.reserve(interfaces->size());
        for (auto& interface : *interfaces) {
            // An interface without traits vanished between the two reads.
            if (auto traits = platform::readInterfaceTraits(source, interface.name)) {
                anyPhysical = anyPhysical || traits->physical;
                readings.push_back({std::move(interface), *traits});
            }
        }
    }
    // The kinds of virtual interfaces matter only when there is no physical one.
    if (!anyPhysical) {
        for (auto& reading : readings) platform::readInterfaceKind(source, reading.traffic.name, reading.traits);
    }
    return networkCounters(countedInterfaces(readings), MonotonicClock::now());
}

// Calculations

double NativeMetricsSampler::calculateCPUUsage(const std::optional<CPUCounters>& previous,
                                               const std::optional<CPUCounters>& current) {
    if (!previous || !current) return 0;
    const uint64_t previousTotal = previous->active + previous->idle;
    const uint64_t currentTotal = current->active + current->idle;
    if (currentTotal < previousTotal) return 0;
    const uint64_t activeDelta = current->active >= previous->active ? current->active - previous->active : 0;
    const uint64_t totalDelta = currentTotal - previousTotal;
    if (totalDelta == 0) return 0;
    return static_cast<double>(activeDelta) / static_cast<double>(totalDelta) * 100;
}

NativeMetricsSampler::NetworkRates NativeMetricsSampler::calculateNetworkRates(
    const std::optional<NetworkCounters>& previous, const NetworkCounters& current) {
    if (!previous) return NetworkRates{};
    const double elapsed = std::chrono::duration<double>(current.timestamp - previous->timestamp).count();
    const double divisor = std::max(elapsed, 0.001);
    // Interface by interface: one that appears counts from its next snapshot on, one that
    // disappears takes nothing with it, and one whose counter went back (re-created under
    // the same name) gives 0 alone.
    uint64_t received = 0, transmitted = 0;
    for (const auto& now : current.interfaces) {
        for (const auto& before : previous->interfaces) {
            if (before.name != now.name) continue;
            received += now.received >= before.received ? now.received - before.received : 0;
            transmitted += now.transmitted >= before.transmitted ? now.transmitted - before.transmitted : 0;
            break;
        }
    }
    return NetworkRates{static_cast<double>(received) / divisor, static_cast<double>(transmitted) / divisor};
}

NativeMetricsSampler::MetricSample NativeMetricsSampler::makeSample(Clock::time_point now,
                                                                    MonotonicClock::time_point monotonicNow,
                                                                    double cpuUsage, NetworkRates rates,
                                                                    ByteUsage memory, ByteUsage disk,
                                                                    const NetworkCounters& network,
                                                                    const std::optional<NetworkCounters>& previousNetwork) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const MonotonicClock::time_point since = previousNetwork ? previousNetwork->timestamp : monotonicNow;
    const int64_t interval = duration_cast<milliseconds>(network.timestamp - since).count();

    MetricSample sample;
    sample.ts = duration_cast<milliseconds>(now.time_since_epoch()).count();
    sample.intervalMs = std::max<int64_t>(interval, 1);
    sample.cpuUsage = clampPercent(cpuUsage);
    sample.memoryUsed = memory.used;
    sample.memoryTotal = std::max<uint64_t>(memory.total, 1);
    sample.memoryPercent = clampPercent(percentOf(memory.used, memory.total));
    sample.rxBps = std::isnan(rates.received) ? 0 : std::max(rates.received, 0.0);
    sample.txBps = std::isnan(rates.transmitted) ? 0 : std::max(rates.transmitted, 0.0);
    sample.diskUsed = disk.used;
    sample.diskTotal = disk.total;
    sample.diskPercent = clampPercent(percentOf(disk.used, disk.total));
    return sample;
}

// Encoding

std::variant<std::string, platform::Error> NativeMetricsSampler::IngestBody::encoded() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::optional<std::string> nonFinite;
    auto number = [&](const char* key, double value) {
        if (!std::isfinite(value) && !nonFinite) nonFinite = key;
        return value;
    };
    for (const MetricSample& sample : samples) {
        nlohmann::ordered_json object;
        object["ts"] = sample.ts;
        object["intervalMs"] = sample.intervalMs;
        object["cpuUsage"] = number("cpuUsage", sample.cpuUsage);
        object["memoryUsed"] = sample.memoryUsed;
        object["memoryTotal"] = sample.memoryTotal;
        object["memoryPercent"] = number("memoryPercent", sample.memoryPercent);
        object["rxBps"] = number("rxBps", sample.rxBps);
        object["txBps"] = number("txBps", sample.txBps);
        object["diskUsed"] = sample.diskUsed;
        object["diskTotal"] = sample.diskTotal;
        object["diskPercent"] = number("diskPercent", sample.diskPercent);
        if (sample.diskReadBps) object["diskReadBps"] = number("diskReadBps", *sample.diskReadBps);
        if (sample.diskWriteBps) object["diskWriteBps"] = number("diskWriteBps", *sample.diskWriteBps);
        if (sample.batteryPercent) object["batteryPercent"] = number("batteryPercent", *sample.batteryPercent);
        if (sample.batteryCharging) object["batteryCharging"] = *sample.batteryCharging;
        list.push_back(std::move(object));
    }
    // The JSON library would write null for these; the wire format has no such value.
    if (nonFinite) {
        return platform::Error{"NSCocoaErrorDomain", 4866,
                               "Unable to encode the non-finite number \"" + *nonFinite + "\" in JSON."};
    }
    nlohmann::ordered_json body;
    body["samples"] = std::move(list);
    return body.dump();
}

std::string NativeMetricsSampler::describe(const platform::Error& error) {
    return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" + error.description + "\"";
}

// Sampling loop

NativeMetricsSampler::NativeMetricsSampler(std::shared_ptr<NodeServerManager> serverManager)
    : NativeMetricsSampler(std::move(serverManager), Timing{}) {}

NativeMetricsSampler::NativeMetricsSampler(std::shared_ptr<NodeServerManager> serverManager, Timing timing,
                                           platform::SystemCounterSource source)
    : serverManager_(std::move(serverManager)),
      queue_(platform::DispatchQueue::serial(queueLabel)),
      timing_(timing),
      source_(std::move(source)) {
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.timeoutIntervalForRequest = timing_.requestTimeout;
    configuration.requestCachePolicy = platform::CachePolicy::reloadIgnoringLocalCacheData;
    // Transfers run on the sampler's own queue: a sample costs no session thread's wake-ups.
    // The reply is read when the next tick wakes the queue, which is before that tick looks
    // at it: one wake-up a sample instead of two.
    configuration.responsesWaitForQueueWake = true;
    session_ = platform::URLSession::make(configuration, queue_);
}

NativeMetricsSampler::~NativeMetricsSampler() {
    // Nothing can reach this object any more; make sure nothing keeps firing for it.
    if (timer_) timer_->cancel();
    if (session_) session_->invalidateAndCancel();
}

void NativeMetricsSampler::start() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->timer_) return;
        self->previousCPU_ = readCPUCounters(self->source_);
        self->previousNetwork_ = readNetworkCounters(self->source_);
        auto timer = platform::DispatchTimer::make(self->queue_);
        timer->schedule(self->timing_.firstTick, self->timing_.interval, self->timing_.leeway);
        timer->setEventHandler([weak] {
            if (auto sampler = weak.lock()) sampler->sampleAndSend();
        });
        self->timer_ = timer;
        timer->resume();
    });
}

void NativeMetricsSampler::stop() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->timer_) {
            self->timer_->cancel();
            self->timer_.reset();
        }
        self->session_->invalidateAndCancel();
    });
}

void NativeMetricsSampler::sampleAndSend() {
    // A slow server stretches the next sample over the longer span instead of piling up requests.
    if (requestInFlight_) return;
    const Clock::time_point now = wallNow();
    const MonotonicClock::time_point monotonicNow = MonotonicClock::now();
    const auto cpu = readCPUCounters(source_);
    const auto network = readNetworkCounters(source_);
    const auto previousNetwork = previousNetwork_;
    const ByteUsage memory = readMemory(source_);
    const ByteUsage disk = readDisk(source_);

    const double cpuUsage = calculateCPUUsage(previousCPU_, cpu);
    const NetworkRates rates = calculateNetworkRates(previousNetwork, network);
    previousCPU_ = cpu;
    previousNetwork_ = network;
    const MetricSample sample = makeSample(now, monotonicNow, cpuUsage, rates, memory, disk, network, previousNetwork);

    platform::URLRequest request;
    request.url = serverManager_->baseURL().appendingPathComponent(ingestPath).absoluteString();
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.setValue("Bearer " + serverManager_->token(), "Authorization");

    auto body = IngestBody{{sample}}.encoded();
    if (auto* error = std::get_if<platform::Error>(&body)) {
        logFailureIfNeeded(*error, std::nullopt);
        return;
    }
    request.httpBody = std::move(std::get<std::string>(body));

    requestInFlight_ = true;
    // The session's thread only hops; it never holds the sampler, so it never destroys it.
    auto task = session_->dataTask(
        std::move(request), [weak = weak_from_this(), queue = queue_](std::optional<std::string>,
                                                                        std::optional<platform::HTTPURLResponse> response,
                                                                        std::optional<platform::Error> error) {
            if (weak.expired()) return;
            queue->async([weak, response = std::move(response), error = std::move(error)] {
                if (auto self = weak.lock()) self->handleCompletion(response, error);
            });
        });
    if (!task) {
        requestInFlight_ = false;
        return;
    }
    task->resume();
}

NativeMetricsSampler::Clock::time_point NativeMetricsSampler::wallNow() const {
    return timing_.wallClock ? timing_.wallClock() : Clock::now();
}

void NativeMetricsSampler::handleCompletion(const std::optional<platform::HTTPURLResponse>& response,
                                            const std::optional<platform::Error>& error) {
    requestInFlight_ = false;
    const std::optional<long> status = response ? std::optional<long>(response->statusCode) : std::nullopt;
    if (!error && status == 200) return;
    logFailureIfNeeded(error, status);
}

void NativeMetricsSampler::logFailureIfNeeded(const std::optional<platform::Error>& error, std::optional<long> status) {
    const auto now = std::chrono::steady_clock::now();
    if (lastFailureLog_ && now - *lastFailureLog_ < timing_.failureLogInterval) return;
    lastFailureLog_ = now;
    if (error) {
        platform::log("[Tidemark] Native metric ingestion failed: " + describe(*error));
    } else {
        platform::log("[Tidemark] Native metric ingestion returned HTTP " + std::to_string(status.value_or(0)));
    }
}
