// Per-process network figures over a real (non-loopback) link: a veth pair into a network
// namespace the test makes, with 198.18.0.0/15 addresses, removed afterwards.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/Environment.h"
#include "processes/NativeProcessSampler.h"
#include "truth/TruthSupport.h"

using namespace std::chrono_literals;
using Sampler = NativeProcessSampler;

TEST(Truth, ADownloadOverManyShortConnectionsAddsUpAndNeverDips) {
    std::string whyNot;
    const auto network = testsupport::PrivateNetwork::create(whyNot);
    if (!network) GTEST_SKIP() << "no private network namespace: " << whyNot;
    testsupport::TemporaryDirectory runtime;
    testsupport::ScopedEnvironment runtimeDirectory("XDG_RUNTIME_DIR", runtime.path().c_str());

    truth::SharedBin bin;
    const std::string helper = bin.path("tidemark-process-load-helper");
    constexpr int connections = 10;
    constexpr uint64_t perConnection = 5'000'000;  // 50 MB in all
    const std::string port = std::to_string(40000 + ::getpid() % 20000);
    // About 1.5 s per connection (64 KiB every 20 ms), several cycles each: what a cycle
    // cannot see is the tail of a connection after the last cycle that saw it open.
    truth::Child sender(network->inside({helper, "serve", network->insideAddress(), port,
                                         std::to_string(perConnection), std::to_string(connections), "20"}));
    ASSERT_EQ(sender.firstLine(), "listening");

    Sampler::Configuration configuration;
    configuration.networkCommandPath = testsupport::binDirectory() + "/tidemark-nettop";
    const auto sampler = std::make_shared<Sampler>(nullptr, configuration);
    // One cycle as the sampler runs it, before and while the download runs.
    Sampler::UsageMap previousUsage = sampler->readAllProcessUsage();
    Sampler::NetworkMap previousNetwork = sampler->readNetworkUsage();
    auto previousAt = std::chrono::steady_clock::now();

    // The receiver stays alive after its last connection; it pauses between connections
    // so that the sampler sees it with and without an open socket.
    truth::Child receiver({helper, "download", network->insideAddress(), port, std::to_string(connections), "300"});
    ASSERT_FALSE(receiver.failed());
    auto finished = std::async(std::launch::async, [&] { return receiver.firstLine(); });

    double reported = 0;  // the bytes the reported rates add up to
    uint64_t lastTotal = 0;
    bool seen = false, done = false;
    std::vector<std::string> trace;
    for (int cycle = 0; cycle < 300 && !done; ++cycle) {
        std::this_thread::sleep_for(200ms);
        done = finished.wait_for(0s) == std::future_status::ready;
        auto usage = sampler->readAllProcessUsage();
        auto current = sampler->readNetworkUsage();
        const auto at = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(at - previousAt).count();
        for (const auto& entry : Sampler::makeEntries(usage, previousUsage, current, previousNetwork, elapsed,
                                                      platform::physicalMemory(), true)) {
            if (entry.pid != receiver.pid()) continue;
            reported += entry.downloadBps * elapsed;
        }
        const auto found = current.find(receiver.pid());
        trace.push_back(found == current.end() ? "absent" : std::to_string(found->second.receivedBytes));
        if (found != current.end()) {
            EXPECT_GE(found->second.receivedBytes, lastTotal) << "the total went down";
            lastTotal = found->second.receivedBytes;
            seen = true;
        } else {
            EXPECT_FALSE(seen) << "the receiver vanished between connections";
        }
        previousUsage = std::move(usage);
        previousNetwork = std::move(current);
        previousAt = at;
    }
    ASSERT_TRUE(done) << "the download did not finish";
    EXPECT_EQ(finished.get(), std::to_string(connections * perConnection));
    std::string history;
    for (const auto& step : trace) history += step + " ";
    const double expected = static_cast<double>(connections * perConnection);
    EXPECT_NEAR(reported, expected, 0.2 * expected) << history;
    EXPECT_NEAR(static_cast<double>(lastTotal), expected, 0.2 * expected) << history;
    // No spike: the rates never add up to more than was received (they miss what came
    // before the receiver's first cycle, when it is not yet comparable).
    EXPECT_LE(reported, static_cast<double>(lastTotal)) << history;
}
