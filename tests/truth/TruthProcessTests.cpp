// Per-process figures, read as an ordinary user, against top and ps.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "truth/TruthSupport.h"

using namespace std::chrono_literals;

namespace {

// top's %CPU of pid over the next `seconds` (its second iteration), as a share of one processor.
double topCpuPercent(int pid, int seconds) {
    const auto text = truth::output({"top", "-b", "-d", std::to_string(seconds), "-n", "2", "-p", std::to_string(pid)});
    double last = -1;
    for (const auto& line : truth::lines(text)) {
        const auto fields = truth::words(line);
        if (fields.size() >= 12 && fields[0] == std::to_string(pid)) last = std::stod(fields[8]);
    }
    return last;
}

}  // namespace

TEST(Truth, AnOrdinaryUserSeesOtherUsersProcessesWithTheirFullNamesMemoryAndCpu) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run children as other users (setpriv)";
    truth::SharedBin bin;
    const std::string helper = bin.path("tidemark-process-load-helper");
    // A burner owned by nobody; a child whose 20-character name the kernel cuts to 15;
    // a child holding 200 MiB. The reader runs as yet another uid and may read none of
    // their io files.
    truth::Child burner(truth::asUser(truth::nobodyUid, {helper, "burn"}));
    const std::string longName = bin.directory() + "/tidemark-truth-child";  // 20 characters
    std::filesystem::create_symlink(helper, longName);
    truth::Child named({longName, "touch", "1"});
    truth::Child holder({helper, "touch", "200"});
    ASSERT_FALSE(burner.failed() || named.failed() || holder.failed());
    ASSERT_EQ(named.firstLine(), "ready");
    ASSERT_EQ(holder.firstLine(), "ready");
    std::this_thread::sleep_for(300ms);

    double top = -1;
    std::thread reference([&] { top = topCpuPercent(burner.pid(), 2); });
    const auto probe = truth::output(truth::asUser(
        truth::probeUid, {bin.path("tidemark-truth-probe"), "usage", "2000", std::to_string(burner.pid()),
                          std::to_string(named.pid()), std::to_string(holder.pid())}));
    reference.join();
    ASSERT_FALSE(probe.empty());
    const auto result = nlohmann::json::parse(probe);
    EXPECT_EQ(result["uid"], truth::probeUid);
    const auto& entries = result["entries"];

    ASSERT_TRUE(entries.contains(std::to_string(burner.pid()))) << "another user's process is listed";
    const auto& burning = entries[std::to_string(burner.pid())];
    EXPECT_EQ(burning["name"], "tidemark-process-load-helper");
    EXPECT_EQ(burning["diskReadBps"].get<double>() + burning["diskWriteBps"].get<double>(), 0) << "io unreadable";
    ASSERT_GE(top, 0) << "top did not list the burner";
    // Same two seconds, give or take the start of the two readers on a loaded machine.
    const double cpu = burning["cpuPercent"].get<double>();
    EXPECT_NEAR(cpu, top, std::max(15.0, 0.35 * top)) << "top said " << top;
    EXPECT_GT(cpu, 1);

    ASSERT_TRUE(entries.contains(std::to_string(named.pid())));
    EXPECT_EQ(entries[std::to_string(named.pid())]["name"], "tidemark-truth-child");

    ASSERT_TRUE(entries.contains(std::to_string(holder.pid())));
    const double held = entries[std::to_string(holder.pid())]["memoryBytes"].get<double>();
    EXPECT_GE(held, 200.0 * (1 << 20));
    EXPECT_LE(held, 220.0 * (1 << 20));
    // ps's resident size holds the same pages plus the program's own file pages.
    const auto rss = truth::words(truth::output({"ps", "-o", "rss=", "-p", std::to_string(holder.pid())}));
    ASSERT_EQ(rss.size(), 1u);
    EXPECT_NEAR(held, std::stod(rss[0]) * 1024, 16.0 * (1 << 20));
    EXPECT_GT(result["processes"].get<int>(), 10);
}
