// Whole Tidemark processes under kills, signals, second launches and bad switches.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using testsupport::TidemarkRun;

namespace {

bool haveServer() { return std::filesystem::exists(testsupport::binDirectory() + "/TidemarkServer"); }

const std::string loginPrefix = "[Tidemark] Open the panel in a browser: ";

// The login line's address, once Tidemark has printed it.
std::optional<std::string> loginAddress(const TidemarkRun& run) {
    const std::string output = run.output();
    const auto start = output.find(loginPrefix);
    if (start == std::string::npos) return std::nullopt;
    const auto end = output.find('\n', start);
    if (end == std::string::npos) return std::nullopt;
    return output.substr(start + loginPrefix.size(), end - start - loginPrefix.size());
}

}  // namespace

TEST(Hardening, ASecondLaunchHandsOverAndLeavesOneServer) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun first;
    ASSERT_TRUE(first.waitUntilHealthy(20s)) << first.output();
    ASSERT_TRUE(testsupport::eventually([&] { return loginAddress(first).has_value(); }, 10s)) << first.output();
    const auto servers = first.serverPids();
    ASSERT_EQ(servers.size(), 1u);

    testsupport::TidemarkRunOptions again;
    again.sameUserAs = &first;
    again.environment["TIDEMARK_TEST_PORT"] = std::to_string(testsupport::freeLoopbackPort());
    TidemarkRun second(again);
    ASSERT_TRUE(second.process().waitUntilExit(15s)) << second.output();
    EXPECT_EQ(second.process().terminationReason(), platform::Process::TerminationReason::exit);
    EXPECT_EQ(second.process().terminationStatus(), 0) << second.output();
    // Its last line may still be on its way through the pipe when it has exited.
    EXPECT_TRUE(second.waitForOutput(loginPrefix + *loginAddress(first), 5s))
        << "the second launch tells where the running one is:\n" << second.output();
    EXPECT_FALSE(second.waitUntilHealthy(500ms)) << "no second server";
    EXPECT_EQ(first.serverPids(), servers);
    EXPECT_TRUE(second.childPids().empty());
    EXPECT_TRUE(first.process().isRunning());
    EXPECT_TRUE(first.stop());
}

TEST(Hardening, CtrlCInTheTerminalQuitsInOrderWithoutAnExitLine) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun run;
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
    // Let the process sampler run its tool at least once.
    std::this_thread::sleep_for(2500ms);
    const auto children = testsupport::descendantPids(run.process().processIdentifier());
    ASSERT_FALSE(children.empty());
    // The terminal signals its whole foreground process group: Tidemark leads its own.
    ASSERT_EQ(::getpgid(run.process().processIdentifier()), run.process().processIdentifier());
    ASSERT_EQ(::kill(-run.process().processIdentifier(), SIGINT), 0);
    ASSERT_TRUE(run.process().waitUntilExit(10s));
    EXPECT_EQ(run.process().terminationReason(), platform::Process::TerminationReason::exit);
    EXPECT_EQ(run.process().terminationStatus(), 0);
    EXPECT_TRUE(run.waitForOutputEnd(5s));
    EXPECT_EQ(run.output().find("[Tidemark] Server exited with status"), std::string::npos)
        << "the server was stopped, it did not die of the Ctrl-C:\n" << run.output();
    for (int pid : children)
        EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(pid); }, 5s)) << pid << " left behind";
}

TEST(Hardening, AHundredKilledLaunchesLeaveNoProcessBehind) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    const auto started = std::chrono::steady_clock::now();
    std::set<int> left;
    int launches = 0;
    for (; launches < 100 && std::chrono::steady_clock::now() - started < 400s; ++launches) {
        TidemarkRun run;
        ASSERT_TRUE(run.waitUntilHealthy(20s)) << "launch " << launches << ":\n" << run.output();
        const auto family = testsupport::descendantPids(run.process().processIdentifier());
        ASSERT_FALSE(family.empty());
        run.process().sendSignal(SIGKILL);
        ASSERT_TRUE(run.process().waitUntilExit(10s));
        for (int pid : family)
            if (!testsupport::eventually([&] { return !testsupport::processAlive(pid); }, 5s)) left.insert(pid);
    }
    EXPECT_EQ(launches, 100) << "the launches took longer than their time budget";
    EXPECT_TRUE(left.empty()) << left.size() << " server or tool processes outlived a killed Tidemark";
    for (int pid : left) ::kill(pid, SIGKILL);
}

TEST(Hardening, AnOutOfRangeTestPortIsIgnored) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    testsupport::TidemarkRunOptions options;
    options.environment["TIDEMARK_TEST_PORT"] = "100000";
    TidemarkRun run(options);
    ASSERT_TRUE(testsupport::eventually([&] { return loginAddress(run).has_value() || !run.process().isRunning(); }, 20s))
        << run.output();
    ASSERT_TRUE(run.process().isRunning()) << "Tidemark died:\n" << run.output();
    std::smatch port;
    const std::string address = *loginAddress(run);
    ASSERT_TRUE(std::regex_search(address, port, std::regex(R"(^http://127\.0\.0\.1:(\d+)/)"))) << address;
    EXPECT_GE(std::stoi(port[1]), 10000) << "the normal port choice applies";
    EXPECT_LE(std::stoi(port[1]), 65535);
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(Hardening, AKilledTidemarkTakesItsServersQuotaCommandsWithIt) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    for (int round = 0; round < 3; ++round) {
        TidemarkRun run;
        ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
        // A quota command that reports its pid and its helper's, then hangs: a grandchild
        // of Tidemark that only the server's own parent-death chain can end.
        const std::string data = run.home() + "/data/Tidemark-e2e";
        const std::string script = run.home() + "/hang.sh";
        std::ofstream(script) << "#!/bin/sh\nsleep 60 &\necho $! > " << data << "/helper.part\necho $$ > " << data
                              << "/command.part\nmv " << data << "/helper.part " << data << "/helper.pid\nmv " << data
                              << "/command.part " << data << "/command.pid\nwait\n";
        ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
        std::ofstream(data + "/quotas.part") << R"({"providers":[{"id":"hang","name":"Hang","color":"#123456","command":[")"
                                            << script << R"("]}]})";
        std::filesystem::rename(data + "/quotas.part", data + "/quotas.json");
        int command = 0, helper = 0;
        ASSERT_TRUE(testsupport::eventually(
            [&] { return bool(std::ifstream(data + "/command.pid") >> command) && bool(std::ifstream(data + "/helper.pid") >> helper); },
            10s))
            << run.output();
        ASSERT_TRUE(testsupport::processAlive(command) && testsupport::processAlive(helper));
        const auto family = testsupport::descendantPids(run.process().processIdentifier());
        run.process().sendSignal(SIGKILL);
        ASSERT_TRUE(run.process().waitUntilExit(10s));
        // The server gets SIGTERM from the kernel and stops at once; its commands die with it.
        EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(command); }, 3s))
            << "round " << round << ": quota command " << command << " outlived Tidemark";
        EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(helper); }, 3s))
            << "round " << round << ": the command's helper " << helper << " outlived Tidemark";
        for (int pid : family)
            EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(pid); }, 5s)) << pid << " left behind";
        for (int pid : {command, helper})
            if (testsupport::processAlive(pid)) ::kill(pid, SIGKILL);
    }
}

TEST(Hardening, AQuitWithAFrozenServerEndsItAndExitsCleanlyInBoundedTime) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun run;
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
    const auto servers = run.serverPids();
    ASSERT_EQ(servers.size(), 1u);
    // A stopped server hears no SIGTERM: only the forced end after the grace time ends it.
    ASSERT_EQ(::kill(servers.front(), SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    const bool clean = run.stop();
    const auto took = std::chrono::steady_clock::now() - start;
    if (testsupport::processAlive(servers.front())) ::kill(servers.front(), SIGKILL);
    EXPECT_TRUE(clean) << run.output();
    EXPECT_GE(took, 1500ms) << "the server was not given its grace time";
    EXPECT_LT(took, 8s);
    EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(servers.front()); }, 2s));
}
