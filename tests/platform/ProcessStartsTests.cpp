// Whether a process can have started between two readings of the process table, and
// what the table reads when none can have.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/LastPid.h"
#include "platform/Process.h"
#include "platform/ProcessStarts.h"
#include "platform/ProcessTable.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using platform::ProcessStarts;
using platform::ProcessTable;

namespace {

class FixtureRoot {
public:
    const std::string& path() const { return directory_.path(); }
    void lastPid(int32_t pid) { std::ofstream(path() + "/loadavg", std::ios::trunc) << "0.10 0.20 0.30 1/99 " << pid << "\n"; }
    void process(int32_t pid) {
        fs::create_directories(path() + "/" + std::to_string(pid));
        std::ofstream(path() + "/" + std::to_string(pid) + "/stat")
            << pid << " (p" << pid << ") S 1 1 1 0 -1 4194560 100 0 0 0 5 6 0 0 20 0 1 0 " << pid
            << " 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
    }
    void exit(int32_t pid) { fs::remove_all(path() + "/" + std::to_string(pid)); }

private:
    testsupport::TemporaryDirectory directory_;
};

std::vector<int32_t> pidsOf(ProcessTable& table) {
    std::vector<platform::ProcessRecord> records;
    EXPECT_TRUE(table.readAll(records));
    std::vector<int32_t> pids;
    for (const auto& record : records) pids.push_back(record.pid);
    std::sort(pids.begin(), pids.end());
    return pids;
}

}  // namespace

TEST(ProcessStarts, OnlyThisProcesssOwnReapedChildrenMayComeBetweenTwoLooks) {
    FixtureRoot root;
    ProcessStarts starts(root.path());
    root.lastPid(500);
    EXPECT_FALSE(starts.noneSinceLastLook()) << "nothing to compare with yet";
    EXPECT_TRUE(starts.noneSinceLastLook());
    root.lastPid(501);
    EXPECT_FALSE(starts.noneSinceLastLook()) << "501 went to a process of someone else's";
    // Two children of this process, started and reaped between two looks.
    platform::noteReapedChild(502);
    platform::noteReapedChild(503);
    root.lastPid(503);
    EXPECT_TRUE(starts.noneSinceLastLook());
    // A pid reaped before the last look was handed out again since: to another process.
    platform::noteReapedChild(505);
    EXPECT_TRUE(starts.noneSinceLastLook());
    root.lastPid(505);
    EXPECT_FALSE(starts.noneSinceLastLook());
    // Wrapped around, or more handed out at once than is worth asking about.
    root.lastPid(300);
    EXPECT_FALSE(starts.noneSinceLastLook());
    for (int32_t pid = 301; pid <= 340; ++pid) platform::noteReapedChild(pid);
    root.lastPid(340);
    EXPECT_FALSE(starts.noneSinceLastLook());
    // Unreadable or unexpected text.
    for (const char* text : {"", "0.10 0.20 0.30 1/99\n", "0.1 0.2 0.3 1/99 34x\n", "340\n"}) {
        std::ofstream(root.path() + "/loadavg", std::ios::trunc) << text;
        EXPECT_FALSE(starts.noneSinceLastLook()) << text;
        EXPECT_FALSE(platform::readLastPid(root.path())) << text;
    }
    fs::remove(root.path() + "/loadavg");
    EXPECT_FALSE(starts.noneSinceLastLook());
}

// The children a Process starts count as reaped as soon as it has reaped them.
TEST(ProcessStarts, AChildRunToItsEndIsOneOfThisProcesssOwn) {
    FixtureRoot root;
    ProcessStarts starts(root.path());
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto before = platform::readLastPid("/proc");
        ASSERT_TRUE(before);
        root.lastPid(*before);
        starts.noneSinceLastLook();
        auto child = platform::Process::make();
        child->executablePath = "/bin/true";
        ASSERT_FALSE(child->run());
        child->waitUntilExit();
        // Only when nothing else on the machine took a pid in between.
        if (child->processIdentifier() != *before + 1) continue;
        root.lastPid(child->processIdentifier());
        EXPECT_TRUE(starts.noneSinceLastLook());
        return;
    }
    GTEST_SKIP() << "other processes kept starting on this machine";
}

TEST(ProcessTable, TheRootIsListedAgainOnlyWhenAProcessMayHaveStarted) {
    for (const auto descriptors : {ProcessTable::Descriptors::keep, ProcessTable::Descriptors::reopen}) {
        FixtureRoot root;
        root.lastPid(100);
        root.process(100);
        ProcessTable table(root.path(), descriptors);
        EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{100}));
        root.process(101);
        EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{100})) << "the last pid has not moved: no listing";
        root.lastPid(101);
        EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{100, 101}));
        // A process seen to exit, without a listing.
        if (descriptors == ProcessTable::Descriptors::reopen) {
            root.exit(100);
            EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{101}));
        }
        // Listed now and then all the same.
        root.process(102);
        unsigned readings = 1;
        while (readings <= ProcessTable::relistReadings && !std::ranges::binary_search(pidsOf(table), 102)) ++readings;
        EXPECT_GT(readings, 1u);
        EXPECT_LE(readings, ProcessTable::relistReadings);
    }
    // Without loadavg the root is listed every time.
    FixtureRoot bare;
    bare.process(7);
    ProcessTable table(bare.path());
    EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{7}));
    bare.process(8);
    EXPECT_EQ(pidsOf(table), (std::vector<int32_t>{7, 8}));
}
