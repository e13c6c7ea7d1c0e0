#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "processes/NativeProcessSampler.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using Sampler = NativeProcessSampler;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* failurePrefix = "[Tidemark] Process metric sampling failed: ";

// Shortened limits: 400 ms for the exit, 300 ms for the output, 100 ms per escalation step.
Sampler::Configuration shortLimits(const std::string& command) {
    Sampler::Configuration configuration;
    configuration.networkSampleTimeout = 400ms;
    configuration.outputTimeout = 300ms;
    configuration.terminationGrace = 100ms;
    configuration.killGrace = 100ms;
    configuration.drainGrace = 100ms;
    configuration.networkCommandPath = command;
    return configuration;
}

class NetworkRunner : public ::testing::Test {
protected:
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = directory.path() + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    std::string pidFile(const std::string& name) const { return directory.path() + "/" + name; }

    static int readPid(const std::string& path) {
        int pid = 0;
        std::ifstream(path) >> pid;
        return pid;
    }

    struct Run {
        Sampler::NetworkMap map;
        std::chrono::milliseconds took;
    };

    static Run run(Sampler& sampler) {
        const auto start = Clock::now();
        auto map = sampler.readNetworkUsage();
        return {std::move(map), std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
    }

    static std::shared_ptr<Sampler> make(const std::string& command) {
        return std::make_shared<Sampler>(nullptr, shortLimits(command));
    }

    testsupport::TemporaryDirectory directory;
    testsupport::LogCapture log;
};

}  // namespace

TEST_F(NetworkRunner, ParsesTheOutputOfACommandThatExitsCleanly) {
    const auto sampler = make(script("ok", "echo ',bytes_in,bytes_out,'\necho 'x.y.77,10,20,'\necho 'bad' >&2"));
    const auto result = run(*sampler);
    ASSERT_EQ(result.map.size(), 1u);
    EXPECT_EQ(result.map.at(77), (Sampler::NetworkUsage{10, 20}));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(NetworkRunner, SilentFailuresGiveAnEmptyMapWithoutALine) {
    // Exit status 1 with no output, and output that is not UTF-8 (even around valid lines).
    for (const char* body : {"exit 1", "echo 'x.5,1,2,'; exit 3", "printf 'x.5,1,2,\\n\\377\\376\\n'"}) {
        const auto result = run(*make(script("silent", body)));
        EXPECT_TRUE(result.map.empty()) << body;
        EXPECT_LT(result.took, 350ms) << body;
    }
    const auto killed = run(*make(script("signalled", "echo 'x.5,1,2,'; kill -9 $$")));
    EXPECT_TRUE(killed.map.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(NetworkRunner, OutputHeldOpenByAGrandchildTimesOutAfterTheExit) {
    const auto sampler = make(script("grandchild", "echo 'x.5,1,2,'\nsleep 5 &\necho $! > " + pidFile("sleep.pid")));
    const auto result = run(*sampler);
    EXPECT_TRUE(result.map.empty());
    EXPECT_GE(result.took, 300ms);
    EXPECT_LT(result.took, 1200ms);
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(failurePrefix) + "Timed out while reading nettop output"});
    ::kill(readPid(pidFile("sleep.pid")), SIGKILL);
}

TEST_F(NetworkRunner, AHangingCommandIsTerminated) {
    const auto sampler = make(script("hang", "echo $$ > " + pidFile("hang.pid") + "\nexec sleep 30"));
    const auto result = run(*sampler);
    EXPECT_TRUE(result.map.empty());
    EXPECT_GE(result.took, 400ms);
    EXPECT_LT(result.took, 1000ms);
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(failurePrefix) + "Timed out while nettop"});
    const int pid = readPid(pidFile("hang.pid"));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(testsupport::eventually([&] { return ::kill(pid, 0) != 0; }, 2s));
}

TEST_F(NetworkRunner, ACommandIgnoringTerminationIsKilledAndItsHeldOutputClosed) {
    // The shell ignores SIGTERM, and so does its sleep, which keeps the output open
    // after the shell is killed.
    const auto sampler = make(script("stubborn", "trap '' TERM\necho $$ > " + pidFile("sh.pid") + "\nsleep 5 &\necho $! > " +
                                                     pidFile("sleep.pid") + "\nwait"));
    const auto result = run(*sampler);
    EXPECT_TRUE(result.map.empty());
    EXPECT_GE(result.took, 600ms);  // 400 + 100 + (the kill wait ends at the exit) + 100
    EXPECT_LT(result.took, 1500ms);
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(failurePrefix) + "Timed out while nettop"});
    const int shell = readPid(pidFile("sh.pid"));
    EXPECT_TRUE(testsupport::eventually([&] { return ::kill(shell, 0) != 0; }, 2s));
    ::kill(readPid(pidFile("sleep.pid")), SIGKILL);
}

TEST_F(NetworkRunner, ALaunchFailureIsLoggedWithThePlatformText) {
    const auto sampler = make(directory.path() + "/missing-tool");
    const auto result = run(*sampler);
    EXPECT_TRUE(result.map.empty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.countPrefix(failurePrefix), 1u);
    EXPECT_GT(log.lines()[0].size(), std::string(failurePrefix).size());
}

TEST_F(NetworkRunner, TheHangSwitchRunsSleepOnceAndOnlyInTestMode) {
    const std::string ok = script("ok", "echo 'x.9,1,2,'");
    {
        testsupport::ScopedEnvironment hang("TIDEMARK_TEST_HANG_NETTOP_ONCE", "1");
        testsupport::ScopedEnvironment testing("TIDEMARK_TESTING", "true");
        EXPECT_FALSE(make(ok)->shouldSimulateNetworkHang());
    }
    testsupport::ScopedEnvironment hang("TIDEMARK_TEST_HANG_NETTOP_ONCE", "1");
    testsupport::ScopedEnvironment testing("TIDEMARK_TESTING", "1");
    const auto sampler = make(ok);
    EXPECT_TRUE(sampler->shouldSimulateNetworkHang());
    const auto first = run(*sampler);
    EXPECT_TRUE(first.map.empty());
    EXPECT_GE(first.took, 400ms);
    EXPECT_FALSE(sampler->shouldSimulateNetworkHang());
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(failurePrefix) + "Timed out while nettop"});
    EXPECT_EQ(run(*sampler).map.size(), 1u);
}

TEST_F(NetworkRunner, AToolRunStartsNoThread) {
    const std::string fifo = directory.path() + "/go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto configuration = shortLimits(script("waits", "read x < " + fifo + "\necho 'x.7,1,2,'"));
    configuration.networkSampleTimeout = 10s;
    const auto sampler = std::make_shared<Sampler>(nullptr, configuration);
    // Any thread a first run needs (the spawner) is up from here on; the sampler lives on,
    // so its queue's thread does not end while we count.
    const auto first = make(script("first", "true"));
    run(*first);
    using testsupport::threadCount;
    std::promise<void> go;
    Run blocked;
    std::thread runner([&] {
        go.get_future().wait();
        blocked = run(*sampler);
    });
    const size_t threads = threadCount();
    go.set_value();
    const int writer = ::open(fifo.c_str(), O_WRONLY);  // returns once the tool has opened it
    ASSERT_GE(writer, 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(::write(writer, "\n", 1), 1);
    ::close(writer);
    runner.join();
    EXPECT_EQ(blocked.map.size(), 1u);
}

TEST_F(NetworkRunner, RunawayOutputIsStoppedAndLogged) {
    const std::string command = script("runaway", "exec yes 'x.1,1,2,'");
    auto configuration = shortLimits(command);
    configuration.maximumNetworkOutput = 4096;
    const auto sampler = std::make_shared<Sampler>(nullptr, configuration);
    const auto result = run(*sampler);
    EXPECT_TRUE(result.map.empty());
    EXPECT_LT(result.took, 400ms);  // stopped before the exit timeout
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(failurePrefix) + "The output of “" + command +
                                                    "” passed 4096 bytes: File too large"});
}
