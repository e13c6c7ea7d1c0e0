#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "metrics/NativeMetricsSampler.h"
#include "server/NodeServerManager.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Sampler = NativeMetricsSampler;
using SteadyClock = std::chrono::steady_clock;

const std::string failedPrefix = "[Tidemark] Native metric ingestion failed: ";
const std::string statusPrefix = "[Tidemark] Native metric ingestion returned HTTP ";

struct Received {
    SteadyClock::time_point at;
    std::string method, path, contentType, authorization, body;
};

// A real HTTP server on 127.0.0.1 that records every request and answers as told.
class IngestServer {
public:
    using Answer = std::function<void(size_t index, httplib::Response&)>;

    explicit IngestServer(Answer answer = {}) : answer_(std::move(answer)) {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            size_t index;
            {
                std::lock_guard lock(mutex_);
                index = received_.size();
                received_.push_back({SteadyClock::now(), request.method, request.path,
                                     request.get_header_value("Content-Type"),
                                     request.get_header_value("Authorization"), request.body});
            }
            response.status = 200;
            if (answer_) answer_(index, response);
        };
        http_.server().Post(".*", handler);
        http_.server().Get(".*", handler);
        http_.start();
    }
    ~IngestServer() {
        release();
        http_.stop();
    }

    int port() const { return http_.port(); }
    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    size_t count() const { return received().size(); }
    bool waitForCount(size_t count, std::chrono::milliseconds timeout) const {
        return testsupport::eventually([&] { return this->count() >= count; }, timeout);
    }

    // For answers that hang: blocks until release() or the limit.
    void hang(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        released_.wait_for(lock, limit, [&] { return isReleased_; });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            isReleased_ = true;
        }
        released_.notify_all();
    }

private:
    Answer answer_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::vector<Received> received_;
    testsupport::LocalHttpServer http_;  // last: stopped before the rest goes away
};

std::shared_ptr<NodeServerManager> managerFor(int port) {
    auto manager = std::make_shared<NodeServerManager>();
    manager->setPortForTesting(port);
    return manager;
}

nlohmann::json onlySample(const Received& request) {
    const auto body = nlohmann::ordered_json::parse(request.body);
    EXPECT_EQ(body.size(), 1u);
    EXPECT_EQ(body.at("samples").size(), 1u);
    return body.at("samples").at(0);
}

double seconds(SteadyClock::duration duration) { return std::chrono::duration<double>(duration).count(); }

TEST(NativeMetricsSampler, AWallClockSteppingBackMovesOnlyTheTimestamp) {
    IngestServer server;
    // Each reading of the wall clock is an hour earlier than the one before (an NTP step
    // back, again and again); the intervals still come from the monotonic clock.
    auto steps = std::make_shared<std::atomic<int>>(0);
    const auto base = std::chrono::system_clock::now();
    Sampler::Timing timing;
    timing.firstTick = 200ms;
    timing.interval = 500ms;
    timing.wallClock = [steps, base] { return base - std::chrono::hours(steps->fetch_add(1)); };
    auto sampler = std::make_shared<Sampler>(managerFor(server.port()), timing);
    sampler->start();
    ASSERT_TRUE(server.waitForCount(3, 8s));
    sampler->stop();
    const auto requests = server.received();
    int64_t previousTs = INT64_MAX;
    for (size_t i = 0; i < requests.size(); ++i) {
        const auto sample = nlohmann::ordered_json::parse(requests[i].body).at("samples").at(0);
        const int64_t ts = sample["ts"].get<int64_t>();
        EXPECT_LT(ts, previousTs) << "the wall clock went back";
        previousTs = ts;
        if (i == 0) continue;
        // About 500 ms, not the floor of 1 ms a backwards wall clock would give.
        EXPECT_GE(sample["intervalMs"].get<int64_t>(), 300);
        EXPECT_LE(sample["intervalMs"].get<int64_t>(), 1500);
        EXPECT_LT(sample["rxBps"].get<double>(), 1e9);
    }
}

TEST(NativeMetricsSampler, PostsOneSamplePerSecond) {
    testsupport::LogCapture log;
    IngestServer server;
    auto manager = managerFor(server.port());
    auto sampler = std::make_shared<Sampler>(manager);
    const auto started = SteadyClock::now();
    sampler->start();
    ASSERT_TRUE(server.waitForCount(3, 6s));
    std::this_thread::sleep_until(started + 3500ms);
    sampler->stop();
    const auto requests = server.received();
    EXPECT_GE(requests.size(), 3u);
    EXPECT_LE(requests.size(), 4u);

    EXPECT_GE(seconds(requests[0].at - started), 0.9) << "first tick after one second";
    EXPECT_LE(seconds(requests[0].at - started), 1.8);
    const std::vector<std::string> keys = {"ts",       "intervalMs", "cpuUsage", "memoryUsed",
                                           "memoryTotal", "memoryPercent", "rxBps", "txBps",
                                           "diskUsed", "diskTotal",  "diskPercent"};
    for (size_t i = 0; i < requests.size(); ++i) {
        const auto& request = requests[i];
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/api/metrics/ingest");
        EXPECT_EQ(request.contentType, "application/json");
        EXPECT_EQ(request.authorization, "Bearer " + manager->token());
        if (i > 0) {
            EXPECT_GE(seconds(request.at - requests[i - 1].at), 0.6);
            EXPECT_LE(seconds(request.at - requests[i - 1].at), 1.5);
        }
        const auto sample = nlohmann::ordered_json::parse(request.body).at("samples").at(0);
        std::vector<std::string> seen;
        for (const auto& [key, value] : sample.items()) seen.push_back(key);
        EXPECT_EQ(seen, keys);
        for (const char* key : {"ts", "intervalMs", "memoryUsed", "memoryTotal", "diskUsed", "diskTotal"}) {
            EXPECT_TRUE(sample[key].is_number_integer()) << key;
        }
        for (const char* key : {"cpuUsage", "memoryPercent", "rxBps", "txBps", "diskPercent"}) {
            EXPECT_TRUE(sample[key].is_number_float()) << key;
        }
        EXPECT_GE(sample["intervalMs"].get<int64_t>(), 800);
        EXPECT_LE(sample["intervalMs"].get<int64_t>(), 1300);
        const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count();
        EXPECT_LE(std::abs(nowMs - sample["ts"].get<int64_t>()), 10'000);
        EXPECT_GE(sample["cpuUsage"].get<double>(), 0);
        EXPECT_LE(sample["cpuUsage"].get<double>(), 100);
        EXPECT_GT(sample["memoryTotal"].get<uint64_t>(), 0u);
        EXPECT_LE(sample["memoryUsed"].get<uint64_t>(), sample["memoryTotal"].get<uint64_t>());
        EXPECT_GT(sample["diskTotal"].get<uint64_t>(), 0u);
    }
    EXPECT_EQ(log.countPrefix("[Tidemark] Native metric ingestion"), 0u);
}

TEST(NativeMetricsSampler, SendsTheFiguresOfItsSource) {
    testsupport::TemporaryDirectory directory;
    platform::SystemCounterSource source;
    source.procRoot = directory.path() + "/proc";
    source.sysRoot = directory.path() + "/sys";
    source.homeDirectory = directory.path();
    source.physicalMemory = 8ull << 30;
    std::filesystem::create_directories(source.procRoot + "/net");
    std::filesystem::create_directories(source.sysRoot + "/class/net/eth0");
    std::ofstream(source.sysRoot + "/class/net/eth0/flags") << "0x1003\n";
    std::ofstream(source.procRoot + "/meminfo") << "MemTotal: 8000000 kB\nMemAvailable: 6000000 kB\n";
    std::mutex fixtureMutex;
    auto writeCounters = [&](uint64_t step) {
        std::lock_guard lock(fixtureMutex);
        std::ofstream(source.procRoot + "/stat") << "cpu  " << 1000 + 300 * step << " 0 0 " << 9000 + 700 * step << "\n";
        std::ofstream(source.procRoot + "/net/dev")
            << "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n"
            << "  eth0: " << 1'000'000 * step << " 0 0 0 0 0 0 0 " << 500'000 * step << " 0 0 0 0 0 0 0\n";
    };
    writeCounters(0);
    // Each answered request moves the counters on, so the next tick sees one step.
    IngestServer server([&](size_t index, httplib::Response&) { writeCounters(index + 1); });
    auto sampler = std::make_shared<Sampler>(managerFor(server.port()), Sampler::Timing{}, source);
    sampler->start();
    ASSERT_TRUE(server.waitForCount(3, 6s));
    sampler->stop();
    const auto requests = server.received();
    const auto first = onlySample(requests[0]);
    EXPECT_EQ(first["cpuUsage"], 0.0);
    EXPECT_EQ(first["rxBps"], 0.0);
    EXPECT_EQ(first["memoryUsed"], 2'000'000ull * 1024);
    EXPECT_EQ(first["memoryTotal"], 8ull << 30);
    for (size_t i = 1; i < 3; ++i) {
        const auto sample = onlySample(requests[i]);
        EXPECT_DOUBLE_EQ(sample["cpuUsage"].get<double>(), 30);
        const double interval = sample["intervalMs"].get<double>() / 1000;
        EXPECT_NEAR(sample["rxBps"].get<double>(), 1'000'000 / interval, 1'000'000 / interval * 0.01);
        EXPECT_NEAR(sample["txBps"].get<double>(), 500'000 / interval, 500'000 / interval * 0.01);
        EXPECT_GT(sample["rxBps"].get<double>(), 700'000);
        EXPECT_LT(sample["rxBps"].get<double>(), 1'300'000);
    }
}

TEST(NativeMetricsSampler, SlowServerStretchesTheNextSample) {
    testsupport::LogCapture log;
    IngestServer* serverPointer = nullptr;
    IngestServer server([&](size_t, httplib::Response&) { serverPointer->hang(2500ms); });
    serverPointer = &server;
    auto sampler = std::make_shared<Sampler>(managerFor(server.port()));
    sampler->start();
    ASSERT_TRUE(server.waitForCount(2, 7s));
    const auto requests = server.received();
    // Answer at about 3.5 s; the ticks at 2 and 3 are skipped, the one at 4 posts.
    EXPECT_GE(seconds(requests[1].at - requests[0].at), 2.6);
    EXPECT_LE(seconds(requests[1].at - requests[0].at), 3.6);
    const auto second = onlySample(requests[1]);
    EXPECT_GE(second["intervalMs"].get<int64_t>(), 2700);
    EXPECT_LE(second["intervalMs"].get<int64_t>(), 3500);
    EXPECT_EQ(log.countPrefix("[Tidemark] Native metric ingestion"), 0u);
    sampler.reset();
}

TEST(NativeMetricsSampler, HangingServerTimesOutAndFailuresAreThrottled) {
    testsupport::LogCapture log;
    IngestServer* serverPointer = nullptr;
    IngestServer server([&](size_t, httplib::Response&) { serverPointer->hang(30s); });
    serverPointer = &server;
    Sampler::Timing timing;
    timing.failureLogInterval = 6s;
    auto sampler = std::make_shared<Sampler>(managerFor(server.port()), timing);
    const auto started = SteadyClock::now();
    sampler->start();

    ASSERT_TRUE(testsupport::eventually([&] { return log.countPrefix(failedPrefix) >= 1; }, 7s));
    const auto firstLine = SteadyClock::now();
    // Tick at 1 s plus the session's 3-second limit.
    EXPECT_GE(seconds(firstLine - started), 3.7);
    EXPECT_LE(seconds(firstLine - started), 7.0);
    const auto lines = log.lines();
    const auto line = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind(failedPrefix, 0) == 0; });
    ASSERT_NE(line, lines.end());
    EXPECT_NE(line->find("Code=-1001"), std::string::npos) << *line;
    EXPECT_EQ(server.count(), 1u);

    // The next request times out at about 8 s and is dropped by the throttle; the one
    // after that (about 12 s) is logged.
    ASSERT_TRUE(testsupport::eventually([&] { return log.countPrefix(failedPrefix) >= 2; }, 12s));
    const double gap = seconds(SteadyClock::now() - firstLine);
    // At least the throttle's 6 s: the failure at about 8 s was dropped.
    EXPECT_GE(gap, 6.0);
    EXPECT_LE(gap, 11);
    EXPECT_GE(server.count(), 3u);
    EXPECT_LE(server.count(), 4u);
    EXPECT_EQ(log.countPrefix("[Tidemark] Native metric ingestion"), 2u);
    sampler.reset();
}

TEST(NativeMetricsSampler, StatusOtherThan200AndRefusedConnections) {
    testsupport::LogCapture log;
    IngestServer noContent([](size_t, httplib::Response& response) { response.status = 204; });
    int closedPort;
    {
        testsupport::LocalHttpServer closed;
        closed.start();
        closedPort = closed.port();
    }
    auto sampler = std::make_shared<Sampler>(managerFor(noContent.port()));
    auto refused = std::make_shared<Sampler>(managerFor(closedPort));
    sampler->start();
    refused->start();
    ASSERT_TRUE(noContent.waitForCount(3, 6s));
    sampler->stop();
    refused->stop();
    // One line each, the rest held back by the 30-second throttle.
    EXPECT_EQ(log.count(statusPrefix + "204"), 1u);
    EXPECT_EQ(log.countPrefix(statusPrefix), 1u);
    EXPECT_EQ(log.countPrefix(failedPrefix + "Error Domain=NSURLErrorDomain Code="), 1u);
}

TEST(NativeMetricsSampler, StartTwiceMakesOneTimer) {
    IngestServer server;
    auto sampler = std::make_shared<Sampler>(managerFor(server.port()));
    const auto started = SteadyClock::now();
    sampler->start();
    std::this_thread::sleep_for(500ms);  // a second timer would tick half a second out of phase
    sampler->start();
    std::this_thread::sleep_until(started + 3600ms);
    sampler->stop();
    const auto requests = server.received();
    EXPECT_GE(requests.size(), 2u);
    EXPECT_LE(requests.size(), 4u);
    for (size_t i = 1; i < requests.size(); ++i) EXPECT_GE(seconds(requests[i].at - requests[i - 1].at), 0.7);
}

TEST(NativeMetricsSampler, StopEndsTicksAndInvalidatesTheSession) {
    testsupport::LogCapture log;
    IngestServer server;
    // Never started: stop only invalidates the session, so a later start can send nothing.
    auto idle = std::make_shared<Sampler>(managerFor(server.port()));
    idle->stop();
    idle->start();

    auto running = std::make_shared<Sampler>(managerFor(server.port()));
    running->start();
    ASSERT_TRUE(server.waitForCount(1, 3s));
    running->stop();
    const size_t afterStop = server.count();

    auto released = std::make_shared<Sampler>(managerFor(server.port()));
    released->start();
    ASSERT_TRUE(server.waitForCount(afterStop + 1, 3s));
    std::weak_ptr<Sampler> weak = released;
    released.reset();
    EXPECT_TRUE(weak.expired()) << "the timer must not keep the sampler alive";
    const size_t afterRelease = server.count();

    std::this_thread::sleep_for(2200ms);
    EXPECT_EQ(server.count(), afterRelease);
    EXPECT_LE(afterRelease, afterStop + 1);
    EXPECT_EQ(log.countPrefix(statusPrefix), 0u);
}

}  // namespace
