#include "processes/NativeProcessSampler.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/ProcessTable.h"
#include "server/NodeServerManager.h"

namespace {

// Transfers run on the sampler's queue (between cycles, while it is idle): a sample costs
// no session thread's wake-ups.
std::shared_ptr<platform::URLSession> makeSession(std::shared_ptr<platform::DispatchQueue> queue) {
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.timeoutIntervalForRequest = 3;
    configuration.requestCachePolicy = platform::CachePolicy::reloadIgnoringLocalCacheData;
    // Read with the next tick, before it sends again: the reply costs no wake-up of its own.
    configuration.responsesWaitForQueueWake = true;
    return platform::URLSession::make(configuration, std::move(queue));
}

// The text the platform's JSON encoder gives a value it cannot write.
constexpr const char* invalidValueText = "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

}  // namespace

std::string ProcessSamplerError::localizedDescription() const {
    switch (kind_) {
        case Case::http:
            return "Process metric ingestion returned HTTP " + std::to_string(statusCode_);
        case Case::commandTimeout:
            return "Timed out while " + what_;
    }
    return {};
}

platform::Error ProcessSamplerError::asError() const {
    return platform::Error{domain, static_cast<long>(kind_), localizedDescription()};
}

NativeProcessSampler::NativeProcessSampler(std::shared_ptr<NodeServerManager> serverManager)
    : NativeProcessSampler(std::move(serverManager), Configuration{}) {}

NativeProcessSampler::NativeProcessSampler(std::shared_ptr<NodeServerManager> serverManager,
                                           Configuration configuration)
    : serverManager_(std::move(serverManager)),
      queue_(platform::DispatchQueue::serial(queueLabel)),
      session_(makeSession(queue_)),
      configuration_(std::move(configuration)),
      shouldSimulateNetworkHang_(platform::environmentEquals("TIDEMARK_TESTING", "1") &&
                                 platform::environmentEquals("TIDEMARK_TEST_HANG_NETTOP_ONCE", "1")) {
    const auto timebase = platform::processTimebase();
    machTimebase_ = Timebase{timebase.numer, timebase.denom};
}

NativeProcessSampler::~NativeProcessSampler() {
    if (timer_) timer_->cancel();
    session_->invalidateAndCancel();
}

NativeProcessSampler::Clock::time_point NativeProcessSampler::now() const {
    return configuration_.clock ? configuration_.clock() : Clock::now();
}

NativeProcessSampler::MonotonicClock::time_point NativeProcessSampler::monotonicNow() const {
    return configuration_.monotonicClock ? configuration_.monotonicClock() : MonotonicClock::now();
}

std::string NativeProcessSampler::networkCommandPath() const {
    if (configuration_.networkCommandPath) return *configuration_.networkCommandPath;
    return platform::Bundle::main().executableDirectory() + "/tidemark-nettop";
}

void NativeProcessSampler::start() {
    queue_->async([self = shared_from_this()] {
        if (self->timer_) return;
        platform::log("[Tidemark] Developer ID process monitoring enabled");
        auto timer = platform::DispatchTimer::make(self->queue_);
        timer->schedule(platform::Duration::zero(), self->configuration_.interval, self->configuration_.leeway);
        timer->setEventHandler([weak = self->weak_from_this()] {
            if (auto sampler = weak.lock()) sampler->sampleAndSend();
        });
        self->timer_ = timer;
        timer->resume();
    });
}

void NativeProcessSampler::stop() {
    queue_->async([self = shared_from_this()] {
        if (self->timer_) self->timer_->cancel();
        self->timer_.reset();
        self->session_->invalidateAndCancel();
    });
}

void NativeProcessSampler::sampleAndSend() {
    const auto sampleTime = now();
    const auto monotonicTime = monotonicNow();
    UsageMap usage = readAllProcessUsage();
    NetworkMap network = readNetworkUsage();

    double elapsed = 0;
    if (previousSampleAt_) elapsed = std::chrono::duration<double>(monotonicTime - *previousSampleAt_).count();
    elapsed = std::max(elapsed, 0.001);
    uint64_t totalMemory = platform::physicalMemory();
    if (totalMemory <= 1) totalMemory = 1;

    const auto entries =
        makeEntries(usage, previousUsage_, network, previousNetwork_, elapsed, totalMemory, previousNetworkComplete_);
    const auto selected = selectTopEntries(entries);

    previousUsage_ = std::move(usage);
    previousNetwork_ = std::move(network);
    previousNetworkComplete_ = networkReadSucceeded_;
    previousSampleAt_ = monotonicTime;
    send(selected, sampleTime);
}

std::optional<std::string> NativeProcessSampler::encode(const IngestBody& body, platform::Error& error) {
    using nlohmann::ordered_json;
    ordered_json processes = ordered_json::array();
    for (const auto& entry : body.processes) {
        for (double value : {entry.cpuPercent, entry.memoryPercent, entry.diskReadBps, entry.diskWriteBps,
                             entry.downloadBps, entry.uploadBps}) {
            if (!std::isfinite(value)) {
                error = platform::Error{"NSCocoaErrorDomain", 4866, invalidValueText};
                return std::nullopt;
            }
        }
        ordered_json object;
        object["pid"] = entry.pid;
        object["name"] = entry.name;
        object["cpuPercent"] = entry.cpuPercent;
        object["memoryBytes"] = entry.memoryBytes;
        object["memoryPercent"] = entry.memoryPercent;
        object["diskReadBps"] = entry.diskReadBps;
        object["diskWriteBps"] = entry.diskWriteBps;
        object["downloadBps"] = entry.downloadBps;
        object["uploadBps"] = entry.uploadBps;
        processes.push_back(std::move(object));
    }
    ordered_json json;
    json["sampledAt"] = body.sampledAt;
    json["processes"] = std::move(processes);
    try {
        return json.dump();
    } catch (const nlohmann::json::exception& exception) {
        error = platform::Error{"NSCocoaErrorDomain", 4866, exception.what()};
        return std::nullopt;
    }
}

void NativeProcessSampler::send(const std::vector<ProcessEntry>& entries, Clock::time_point sampledAt) {
    if (requestInFlight_) return;

    platform::URLRequest request;
    request.url = serverManager_->baseURL().appendingPathComponent(ingestPath).absoluteString();
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.setValue("Bearer " + serverManager_->token(), "Authorization");

    IngestBody body;
    // duration_cast truncates toward zero: 0.9999 s past a second stays at .999.
    body.sampledAt = std::chrono::duration_cast<std::chrono::milliseconds>(sampledAt.time_since_epoch()).count();
    body.processes = entries;
    platform::Error encodingError;
    auto encoded = encode(body, encodingError);
    if (!encoded) {
        logFailureIfNeeded(encodingError);
        return;
    }
    request.httpBody = std::move(*encoded);

    requestInFlight_ = true;
    auto task = session_->dataTask(
        std::move(request), [weak = weak_from_this(), queue = queue_](std::optional<std::string>,
                                                                      std::optional<platform::HTTPURLResponse> response,
                                                                      std::optional<platform::Error> error) {
            // Only hop: the session's thread never owns the sampler.
            if (weak.expired()) return;
            queue->async([weak, response = std::move(response), error = std::move(error)]() mutable {
                if (auto sampler = weak.lock()) sampler->handleCompletion(std::move(response), std::move(error));
            });
        });
    task->resume();
}

void NativeProcessSampler::handleCompletion(std::optional<platform::HTTPURLResponse> response,
                                            std::optional<platform::Error> error) {
    requestInFlight_ = false;
    const long status = response ? response->statusCode : 0;
    if (error) {
        logFailureIfNeeded(*error);
        return;
    }
    if (status == 200) return;
    logFailureIfNeeded(ProcessSamplerError::http(status).asError());
}

void NativeProcessSampler::logFailureIfNeeded(const platform::Error& error) {
    const auto current = monotonicNow();
    if (lastFailureLog_ && current - *lastFailureLog_ < configuration_.failureLogInterval) return;
    lastFailureLog_ = current;
    platform::log("[Tidemark] Process metric sampling failed: " + error.localizedDescription());
}
