#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/ProcessTable.h"
#include "processes/NativeProcessSampler.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using Sampler = NativeProcessSampler;

namespace {

// A /proc-like tree with the three files the reader needs per process.
class FixtureProc {
public:
    const std::string& root() const { return directory_.path(); }

    void write(const std::string& relative, const std::string& text) {
        const fs::path path = fs::path(root()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    // A process with its name, ticks of CPU, start ticks, resident and shared pages, io.
    void add(const std::string& pid, const std::string& name, uint64_t utime, uint64_t stime, uint64_t start,
             uint64_t resident, uint64_t shared, uint64_t readBytes, uint64_t writeBytes) {
        write(pid + "/stat", pid + " (" + name + ") S 1 1 1 0 -1 4194560 100 0 0 0 " + std::to_string(utime) + " " +
                                 std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(start) +
                                 " 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n");
        write(pid + "/statm", "2500 " + std::to_string(resident) + " " + std::to_string(shared) + " 10 0 300 0\n");
        write(pid + "/status", "Name:\t" + name + "\nRssAnon:\t    " + std::to_string((resident - shared) * 4) +
                                   " kB\nRssFile:\t       8 kB\nVmSwap:\t       3 kB\n");
        write(pid + "/io", "rchar: 1\nwchar: 2\nsyscr: 3\nsyscw: 4\nread_bytes: " + std::to_string(readBytes) +
                               "\nwrite_bytes: " + std::to_string(writeBytes) + "\ncancelled_write_bytes: 77\n");
    }

    void remove(const std::string& relative) { fs::remove_all(fs::path(root()) / relative); }

private:
    testsupport::TemporaryDirectory directory_;
};

std::shared_ptr<Sampler> samplerFor(const std::string& root) {
    Sampler::Configuration configuration;
    configuration.procRoot = root;
    return std::make_shared<Sampler>(nullptr, configuration);
}

}  // namespace

TEST(ProcessUsageReader, ReadsEveryCompleteNumericEntryOfAFixtureTree) {
    FixtureProc proc;
    proc.add("1", "init", 30, 12, 5, 900, 100, 4096, 8192);
    proc.add("42", "a) (b c)", 1, 2, 77, 10, 40, 0, 0);  // comm holds ") (": parsed up to the last ")"
    proc.add("43", "\xE2\x82\xAC\xE2\x82", 0, 0, 1, 1, 0, 0, 0);
    proc.add("0", "zero", 1, 1, 1, 1, 0, 1, 1);
    proc.add("abc", "letters", 1, 1, 1, 1, 0, 1, 1);
    proc.add("12x", "mixed", 1, 1, 1, 1, 0, 1, 1);
    proc.add("7", "noio", 1, 1, 1, 1, 0, 1, 1);
    proc.remove("7/io");  // another user's process: io is not readable
    proc.add("8", "nostatm", 1, 1, 1, 1, 0, 1, 1);
    proc.remove("8/statm");
    proc.add("9", "cut", 1, 1, 1, 1, 0, 1, 1);
    proc.write("9/stat", "9 (cut) S 1 1 1 0 -1 4194560 100 0 0 0 5");  // too few fields
    proc.add("10", "badio", 1, 1, 1, 1, 0, 1, 1);
    proc.write("10/io", "rchar: 1\nwrite_bytes: 5\n");
    proc.write("11/stat", "");  // exited while listed: empty files
    proc.write("self", "");

    const auto sampler = samplerFor(proc.root());
    const auto usage = sampler->readAllProcessUsage();
    ASSERT_EQ(usage.size(), 3u);
    const auto timebase = sampler->machTimebase();
    const uint64_t page = platform::ProcessTable::pageSize();

    const auto& init = usage.at(1);
    EXPECT_EQ(init.pid, 1);
    EXPECT_EQ(init.name, "init");
    EXPECT_EQ(init.startTime, 5u);
    EXPECT_EQ(init.cpuTime, 42u * timebase.numer / timebase.denom);
    EXPECT_EQ(init.residentBytes, 800 * page);
    EXPECT_EQ(init.diskReadBytes, 4096u);
    EXPECT_EQ(init.diskWriteBytes, 8192u);

    EXPECT_EQ(usage.at(42).name, "a) (b c)");
    EXPECT_EQ(usage.at(42).startTime, 77u);
    EXPECT_EQ(usage.at(42).residentBytes, 0u);  // shared above resident
    EXPECT_EQ(usage.at(43).name, "\xE2\x82\xAC\xEF\xBF\xBD");
}

TEST(ProcessUsageReader, StatusSourceAndAMissingRoot) {
    FixtureProc proc;
    proc.add("5", "w", 0, 0, 1, 300, 100, 0, 0);
    const auto record = platform::ProcessTable(proc.root(), platform::ProcessTable::MemorySource::status).read(5);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->privateResidentBytes, (200 * 4 + 3) * 1024u);

    EXPECT_FALSE(platform::ProcessTable(proc.root() + "/absent").listProcesses());
    EXPECT_TRUE(samplerFor(proc.root() + "/absent")->readAllProcessUsage().empty());
}

TEST(ProcessUsageReader, PidReuseAndCountersGoingDownAcrossTwoReadings) {
    FixtureProc proc;
    const auto timebase = samplerFor(proc.root())->machTimebase();
    const uint64_t hz = 1'000'000'000ULL * timebase.denom / timebase.numer;
    proc.add("20", "steady", 0, 0, 1000, 10, 0, 5000, 100);
    proc.add("21", "reused", 0, 0, 2000, 10, 0, 0, 0);
    const auto sampler = samplerFor(proc.root());
    const auto first = sampler->readAllProcessUsage();

    proc.add("20", "steady", hz / 2, hz / 2, 1000, 10, 0, 10, 300);  // one second of CPU, read counter reset
    proc.add("21", "reused", hz * 3, 0, 2500, 10, 0, 1000, 1000);  // a new process under the old pid
    const auto second = sampler->readAllProcessUsage();

    std::map<int32_t, Sampler::ProcessEntry> byPid;
    for (const auto& e : Sampler::makeEntries(second, first, {}, {}, 2.0, 1 << 20)) byPid[e.pid] = e;
    EXPECT_NEAR(byPid[20].cpuPercent, 50, 1e-9);
    EXPECT_EQ(byPid[20].diskReadBps, 0);
    EXPECT_DOUBLE_EQ(byPid[20].diskWriteBps, 100);
    EXPECT_EQ(byPid[21].cpuPercent + byPid[21].diskReadBps + byPid[21].diskWriteBps, 0);
}
