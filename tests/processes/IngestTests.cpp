#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "processes/NativeProcessSampler.h"
#include "server/NodeServerManager.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Sampler = NativeProcessSampler;
using Steady = std::chrono::steady_clock;

namespace {

constexpr const char* failurePrefix = "[Tidemark] Process metric sampling failed: ";
constexpr const char* startLine = "[Tidemark] Developer ID process monitoring enabled";

struct Received {
    Steady::time_point at;
    std::string body;
    std::string contentType;
    std::string authorization;
};

// The ingest endpoint on a real local HTTP server, answering `status` after `delay`.
class IngestServer {
public:
    IngestServer() {
        server.server().Post("/api/processes/ingest", [this](const httplib::Request& request, httplib::Response& response) {
            const auto arrived = Steady::now();
            const int active = ++active_;
            maxActive_ = std::max(maxActive_.load(), active);
            std::chrono::milliseconds wait;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back({arrived, request.body, request.get_header_value("Content-Type"),
                                     request.get_header_value("Authorization")});
                wait = requests_.size() == 1 ? firstDelay : 0ms;
            }
            std::this_thread::sleep_for(wait);
            response.status = status;
            --active_;
        });
        server.start();
    }

    std::vector<Received> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t count() const { return requests().size(); }
    int maxActive() const { return maxActive_; }

    std::atomic<int> status{200};
    std::chrono::milliseconds firstDelay{0};
    testsupport::LocalHttpServer server;

private:
    mutable std::mutex mutex_;
    std::vector<Received> requests_;
    std::atomic<int> active_{0}, maxActive_{0};
};

class ProcessIngest : public ::testing::Test {
protected:
    std::shared_ptr<NodeServerManager> manager(int port) {
        auto serverManager = std::make_shared<NodeServerManager>();
        serverManager->setPortForTesting(port);
        return serverManager;
    }

    // A network stage that takes no time: a script printing only the header.
    Sampler::Configuration quick(std::chrono::milliseconds interval) {
        const std::string path = directory.path() + "/quiet-nettop";
        std::ofstream(path) << "#!/bin/sh\necho ',bytes_in,bytes_out,'\n";
        ::chmod(path.c_str(), 0755);
        Sampler::Configuration configuration;
        configuration.interval = interval;
        configuration.networkCommandPath = path;
        return configuration;
    }

    // The last post's completion has been handled: the next send is not skipped.
    static bool settled(const std::shared_ptr<Sampler>& sampler) {
        return testsupport::eventually(
            [&] {
                bool inFlight = true;
                sampler->queue()->sync([&] { inFlight = sampler->isRequestInFlight(); });
                return !inFlight;
            },
            5s);
    }

    static void stopAndSettle(const std::shared_ptr<Sampler>& sampler) {
        sampler->stop();
        sampler->queue()->sync([] {});
    }

    testsupport::TemporaryDirectory directory;
    testsupport::LogCapture log;
};

Sampler::ProcessEntry sampleEntry() {
    Sampler::ProcessEntry entry;
    entry.pid = 5;
    entry.name = "a\"b";
    entry.cpuPercent = 12.5;
    entry.memoryBytes = 18446744073709551615ULL;
    entry.memoryPercent = 0.25;
    entry.uploadBps = 3;
    return entry;
}

}  // namespace

TEST_F(ProcessIngest, PostsAtOnceThenEveryTwoSecondsWithTheBodyInFieldOrder) {
    IngestServer ingest;
    const auto serverManager = manager(ingest.server.port());
    Sampler::Configuration configuration;
    configuration.networkCommandPath = testsupport::binDirectory() + "/tidemark-nettop";
    const auto sampler = std::make_shared<Sampler>(serverManager, configuration);
    const auto started = Steady::now();
    sampler->start();
    sampler->start();
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() >= 2; }, 8s));
    stopAndSettle(sampler);
    const auto requests = ingest.requests();
    EXPECT_EQ(log.count(startLine), 1u);

    EXPECT_LT(requests[0].at - started, 1500ms);
    const auto gap = requests[1].at - requests[0].at;
    EXPECT_GT(gap, 1700ms);
    EXPECT_LT(gap, 3000ms);
    EXPECT_EQ(requests[0].contentType, "application/json");
    EXPECT_EQ(requests[0].authorization, "Bearer " + serverManager->token());

    for (size_t i = 0; i < 2; ++i) {
        const auto body = nlohmann::ordered_json::parse(requests[i].body);
        std::vector<std::string> keys;
        for (const auto& item : body.items()) keys.push_back(item.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"sampledAt", "processes"}));
        ASSERT_TRUE(body["sampledAt"].is_number_integer());
        const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
        EXPECT_NEAR(static_cast<double>(body["sampledAt"].get<int64_t>()), static_cast<double>(nowMs), 10000.0);
        const auto& processes = body["processes"];
        ASSERT_TRUE(processes.is_array());
        EXPECT_GT(processes.size(), 0u);
        EXPECT_LE(processes.size(), 32u);
        int64_t lastPid = 0;
        bool anyMemory = false;
        for (const auto& process : processes) {
            std::vector<std::string> fields;
            for (const auto& item : process.items()) fields.push_back(item.key());
            EXPECT_EQ(fields, (std::vector<std::string>{"pid", "name", "cpuPercent", "memoryBytes", "memoryPercent",
                                                        "diskReadBps", "diskWriteBps", "downloadBps", "uploadBps"}));
            EXPECT_TRUE(process["pid"].is_number_integer());
            EXPECT_GT(process["pid"].get<int64_t>(), lastPid);
            lastPid = process["pid"].get<int64_t>();
            EXPECT_TRUE(process["name"].is_string());
            EXPECT_TRUE(process["memoryBytes"].is_number_unsigned());
            anyMemory |= process["memoryBytes"].get<uint64_t>() > 0;
            if (i == 0) {
                EXPECT_EQ(process["cpuPercent"].get<double>(), 0);
                EXPECT_EQ(process["diskReadBps"].get<double>() + process["diskWriteBps"].get<double>(), 0);
                EXPECT_EQ(process["downloadBps"].get<double>() + process["uploadBps"].get<double>(), 0);
            }
        }
        EXPECT_TRUE(anyMemory);
    }

    // Stopped: no more posts.
    const size_t posted = ingest.count();
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(ingest.count(), posted);
}

TEST_F(ProcessIngest, ASlowServerSkipsTheCyclesInBetweenAndNeverSeesTwoPosts) {
    IngestServer ingest;
    ingest.firstDelay = 1000ms;
    const auto sampler = std::make_shared<Sampler>(manager(ingest.server.port()), quick(200ms));
    sampler->start();
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() >= 3; }, 5s));
    stopAndSettle(sampler);
    const auto requests = ingest.requests();
    EXPECT_GE(requests[1].at - requests[0].at, 1000ms);
    EXPECT_LT(requests[1].at - requests[0].at, 1600ms);
    EXPECT_EQ(ingest.maxActive(), 1);
    EXPECT_EQ(log.countPrefix(failurePrefix), 0u);
}

TEST_F(ProcessIngest, AnyStatusOtherThan200IsAThrottledFailure) {
    IngestServer ingest;
    ingest.status = 204;
    const auto sampler = std::make_shared<Sampler>(manager(ingest.server.port()), quick(150ms));
    sampler->start();
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() >= 4; }, 5s));
    stopAndSettle(sampler);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               startLine, std::string(failurePrefix) + "Process metric ingestion returned HTTP 204"}));
}

TEST_F(ProcessIngest, TransportErrorsClearTheRequestAndAreLogged) {
    IngestServer ingest;
    int deadPort;
    {
        testsupport::LocalHttpServer closed;
        closed.start();
        deadPort = closed.port();
    }
    const auto serverManager = manager(deadPort);
    const auto sampler = std::make_shared<Sampler>(serverManager, quick(1000ms));
    sampler->queue()->sync([&] { sampler->send({}, std::chrono::system_clock::now()); });
    ASSERT_TRUE(testsupport::eventually([&] { return log.countPrefix(failurePrefix) == 1; }, 5s));
    EXPECT_GT(log.lines()[0].size(), std::string(failurePrefix).size());

    // The base URL is read at every send, and the failed request no longer blocks.
    serverManager->setPortForTesting(ingest.server.port());
    sampler->queue()->sync([&] { sampler->send({sampleEntry()}, std::chrono::system_clock::now()); });
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == 1; }, 5s));
    EXPECT_NE(ingest.requests()[0].body.find("\"pid\":5"), std::string::npos);
    stopAndSettle(sampler);
}

TEST_F(ProcessIngest, BodyEncodingTruncatesMillisecondsAndRejectsNonFiniteNumbers) {
    IngestServer ingest;
    const auto sampler = std::make_shared<Sampler>(manager(ingest.server.port()), quick(1000ms));
    const auto at = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000) +
                                                          std::chrono::microseconds(999'900));
    sampler->queue()->sync([&] { sampler->send({}, at); });
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == 1; }, 5s));
    EXPECT_EQ(ingest.requests()[0].body, R"({"sampledAt":1700000000999,"processes":[]})");

    platform::Error error;
    const auto encoded = Sampler::encode({-1, {sampleEntry()}}, error);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded, R"({"sampledAt":-1,"processes":[{"pid":5,"name":"a\"b","cpuPercent":12.5,)"
                        R"("memoryBytes":18446744073709551615,"memoryPercent":0.25,"diskReadBps":0.0,)"
                        R"("diskWriteBps":0.0,"downloadBps":0.0,"uploadBps":3.0}]})");

    auto broken = sampleEntry();
    broken.downloadBps = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(Sampler::encode({0, {broken}}, error));
    EXPECT_FALSE(error.description.empty());
    // The first post's completion must have been handled, or the next send is skipped.
    ASSERT_TRUE(settled(sampler));
    sampler->queue()->sync([&] { sampler->send({broken}, at); });
    EXPECT_EQ(log.countPrefix(failurePrefix + error.description), 1u);
    // Not sent, and nothing left in flight.
    sampler->queue()->sync([&] { sampler->send({}, at); });
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == 2; }, 5s));
    stopAndSettle(sampler);
}

TEST_F(ProcessIngest, FailureLinesAreThrottledOnTheMonotonicClock) {
    auto monotonic = std::make_shared<Steady::time_point>(Steady::now());
    auto wall = std::make_shared<std::chrono::system_clock::time_point>(std::chrono::system_clock::now());
    Sampler::Configuration configuration;
    configuration.monotonicClock = [monotonic] { return *monotonic; };
    configuration.clock = [wall] { return *wall; };
    const auto sampler = std::make_shared<Sampler>(nullptr, configuration);
    const auto start = *monotonic;
    for (const auto offset : {0s, 10s, 29s, 31s, 40s, 61s}) {
        *monotonic = start + offset;
        *wall -= 1h;  // the wall clock stepping back must neither silence nor repeat a line
        sampler->logFailureIfNeeded(platform::Error{"d", 1, "at " + std::to_string(offset.count())});
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{std::string(failurePrefix) + "at 0",
                                                     std::string(failurePrefix) + "at 31",
                                                     std::string(failurePrefix) + "at 61"}));
}

TEST_F(ProcessIngest, AWallClockSteppingBackChangesOnlySampledAt) {
    // One process that burns exactly one second of CPU between two cycles two seconds apart.
    const std::string proc = directory.path() + "/proc";
    const auto writeStat = [&](uint64_t ticks) {
        std::filesystem::create_directories(proc + "/77");
        std::ofstream(proc + "/77/stat") << "77 (busy) R 1 1 1 0 -1 4194560 0 0 0 0 " << ticks
                                         << " 0 0 0 20 0 1 0 500 1 1 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
    };
    const uint64_t hz = static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
    writeStat(0);
    IngestServer ingest;
    auto configuration = quick(2000ms);
    configuration.procRoot = proc;
    auto monotonic = std::make_shared<Steady::time_point>(Steady::now());
    const auto wallStart = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
    auto wall = std::make_shared<std::chrono::system_clock::time_point>(wallStart);
    configuration.monotonicClock = [monotonic] { return *monotonic; };
    configuration.clock = [wall] { return *wall; };
    const auto sampler = std::make_shared<Sampler>(manager(ingest.server.port()), configuration);
    sampler->queue()->sync([&] { sampler->sampleAndSend(); });
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == 1; }, 5s));
    ASSERT_TRUE(settled(sampler));

    writeStat(hz);
    *monotonic += 2s;
    *wall -= 1h;  // NTP steps the clock back between the cycles
    sampler->queue()->sync([&] { sampler->sampleAndSend(); });
    ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == 2; }, 5s));
    const auto body = nlohmann::json::parse(ingest.requests()[1].body);
    EXPECT_EQ(body["sampledAt"].get<int64_t>(), 1'800'000'000'000 - 3'600'000);
    ASSERT_EQ(body["processes"].size(), 1u);
    EXPECT_NEAR(body["processes"][0]["cpuPercent"].get<double>(), 50, 1e-6);  // not 100,000 (1 s ÷ 1 ms)
    stopAndSettle(sampler);
}

TEST_F(ProcessIngest, AFirstConnectionCountsButAFailedToolRunNeverMakesASpike) {
    const std::string proc = directory.path() + "/proc";
    std::filesystem::create_directories(proc + "/4242");
    std::ofstream(proc + "/4242/stat")
        << "4242 (fetch) S 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 500 1 1 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
    // The tool's answers, one per cycle: nothing yet; the first connection; a failed run;
    // the totals again (a lifetime, not a rate); 1,000 bytes more.
    const std::string tool = directory.path() + "/scripted-nettop";
    const std::string counter = directory.path() + "/runs";
    std::ofstream(tool) << "#!/bin/sh\n"
                           "n=$(cat '" + counter + "' 2>/dev/null || echo 0); echo $((n + 1)) > '" + counter + "'\n"
                           "echo ',bytes_in,bytes_out,'\n"
                           "case $n in 1) echo 'fetch.4242,3000,600,' ;; 2) exit 1 ;; 3) echo 'fetch.4242,9000000,900,' ;;\n"
                           "4) echo 'fetch.4242,9001000,900,' ;; esac\n";
    ::chmod(tool.c_str(), 0755);
    IngestServer ingest;
    auto configuration = quick(2000ms);
    configuration.procRoot = proc;
    configuration.networkCommandPath = tool;
    auto monotonic = std::make_shared<Steady::time_point>(Steady::now());
    configuration.monotonicClock = [monotonic] { return *monotonic; };
    const auto sampler = std::make_shared<Sampler>(manager(ingest.server.port()), configuration);
    std::vector<double> downloads;
    for (int cycle = 0; cycle < 5; ++cycle) {
        sampler->queue()->sync([&] { sampler->sampleAndSend(); });
        ASSERT_TRUE(testsupport::eventually([&] { return ingest.count() == static_cast<size_t>(cycle + 1); }, 5s));
        ASSERT_TRUE(settled(sampler));
        const auto body = nlohmann::json::parse(ingest.requests().back().body);
        downloads.push_back(body["processes"][0]["downloadBps"].get<double>());
        *monotonic += 2s;
    }
    EXPECT_EQ(downloads, (std::vector<double>{0, 1500, 0, 0, 500}));
    stopAndSettle(sampler);
}
