#include <gtest/gtest.h>

#include <filesystem>
#include <set>
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

    // A process with its name, ticks of CPU, start ticks, anonymous and shared-memory
    // resident pages, io; flags of stat (0x200000: a kernel thread).
    void add(const std::string& pid, const std::string& name, uint64_t utime, uint64_t stime, uint64_t start,
             uint64_t anon, uint64_t shmem, uint64_t readBytes, uint64_t writeBytes, const std::string& flags = "4194560") {
        write(pid + "/stat", pid + " (" + name + ") S 1 1 1 0 -1 " + flags + " 100 0 0 0 " + std::to_string(utime) +
                                 " " + std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(start) +
                                 " 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n");
        write(pid + "/status", "Name:\t" + name + "\nVmRSS:\t 99999 kB\nRssAnon:\t    " + std::to_string(anon * 4) +
                                   " kB\nRssFile:\t       8 kB\nRssShmem:\t " + std::to_string(shmem * 4) +
                                   " kB\nVmSwap:\t       3 kB\nThreads:\t1\n");
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

TEST(ProcessUsageReader, ReadsEveryProcessWhoseStatCanBeRead) {
    FixtureProc proc;
    proc.add("1", "init", 30, 12, 5, 900, 100, 4096, 8192);
    proc.add("42", "a) (b c)", 1, 2, 77, 10, 0, 0, 0);  // comm holds ") (": parsed up to the last ")"
    proc.add("43", "\xE2\x82\xAC\xE2\x82", 0, 0, 1, 1, 0, 0, 0);
    proc.add("0", "zero", 1, 1, 1, 1, 0, 1, 1);
    proc.add("abc", "letters", 1, 1, 1, 1, 0, 1, 1);
    proc.add("12x", "mixed", 1, 1, 1, 1, 0, 1, 1);
    proc.add("7", "noio", 1, 1, 1, 5, 0, 1, 1);
    proc.remove("7/io");  // another user's process: io needs ptrace rights
    proc.add("8", "nostatus", 1, 1, 1, 1, 0, 1, 1);
    proc.remove("8/status");
    proc.add("9", "cut", 1, 1, 1, 1, 0, 1, 1);
    proc.write("9/stat", "9 (cut) S 1 1 1 0 -1 4194560 100 0 0 0 5");  // too few fields
    proc.add("10", "badio", 1, 1, 1, 1, 0, 1, 1);
    proc.write("10/io", "rchar: 1\nwrite_bytes: 5\n");
    proc.write("11/stat", "");  // exited while listed: empty files
    proc.add("12", "nostat", 1, 1, 1, 1, 0, 1, 1);
    proc.remove("12/stat");
    proc.write("self", "");

    const auto sampler = samplerFor(proc.root());
    const auto usage = sampler->readAllProcessUsage();
    std::set<int32_t> pids;
    for (const auto& [pid, raw] : usage) pids.insert(pid);
    EXPECT_EQ(pids, (std::set<int32_t>{1, 7, 8, 10, 42, 43}));
    const auto timebase = sampler->machTimebase();

    const auto& init = usage.at(1);
    EXPECT_EQ(init.pid, 1);
    EXPECT_EQ(init.name, "init");
    EXPECT_EQ(init.startTime, 5u);
    EXPECT_EQ(init.cpuTime, 42u * timebase.numer / timebase.denom);
    EXPECT_EQ(init.residentBytes, (1000 * 4 + 3) * 1024u);  // RssAnon + RssShmem + VmSwap
    EXPECT_EQ(init.diskReadBytes, 4096u);
    EXPECT_EQ(init.diskWriteBytes, 8192u);

    EXPECT_EQ(usage.at(42).name, "a) (b c)");
    EXPECT_EQ(usage.at(42).startTime, 77u);
    EXPECT_EQ(usage.at(43).name, "\xE2\x82\xAC\xEF\xBF\xBD");
    // Unreadable io: kept for CPU and memory, with no disk traffic.
    EXPECT_EQ(usage.at(7).residentBytes, (5 * 4 + 3) * 1024u);
    EXPECT_EQ(usage.at(7).diskReadBytes + usage.at(7).diskWriteBytes, 0u);
    EXPECT_EQ(usage.at(10).diskWriteBytes, 0u);
    EXPECT_EQ(usage.at(8).residentBytes, 0u);
    EXPECT_EQ(usage.at(8).cpuTime, 2u * timebase.numer / timebase.denom);

    EXPECT_FALSE(platform::ProcessTable(proc.root() + "/absent").listProcesses());
    EXPECT_TRUE(samplerFor(proc.root() + "/absent")->readAllProcessUsage().empty());
}

TEST(ProcessUsageReader, NamesCutAtFifteenBytesComeFromTheCommandLine) {
    FixtureProc proc;
    const auto withCommandLine = [&](const std::string& pid, const std::string& comm, const std::string& commandLine,
                                     const std::string& flags = "4194560") {
        proc.add(pid, comm, 0, 0, 1, 1, 0, 0, 0, flags);
        proc.write(pid + "/cmdline", commandLine);
    };
    using namespace std::string_literals;
    withCommandLine("2", "tidemark-proces", "/opt/x/tidemark-process-load-helper\0burn\0"s);
    withCommandLine("3", "python3", "/usr/bin/python3.11\0-m\0http.server\0"s);      // not cut: kept
    withCommandLine("4", "Isolated Web Co", "/usr/lib/firefox-esr/firefox-esr\0-contentproc\0"s);  // a thread name
    withCommandLine("5", "kworker/u4:2-ev", "", "69238880");                             // a kernel thread
    withCommandLine("6", "kworker/u4:2-ev", "/sbin/kworker/u4:2-events_unbound\0"s, "69238880");
    withCommandLine("7", "abcdefghijklmno", "abcdefghijklmnopqrstuvwxyz"s);            // no path, no zero byte
    withCommandLine("8", "abcdefghijklmno", "/x/abcdefghijklmno\xC3\0"s);             // cut in a character
    withCommandLine("9", "abcdefghijklmno", ""s);                                      // exited meanwhile
    proc.add("10", "abcdefghijklmno", 0, 0, 1, 1, 0, 0, 0);                            // no cmdline file at all

    const auto usage = samplerFor(proc.root())->readAllProcessUsage();
    EXPECT_EQ(usage.at(2).name, "tidemark-process-load-helper");
    EXPECT_EQ(usage.at(3).name, "python3");
    EXPECT_EQ(usage.at(4).name, "Isolated Web Co");
    EXPECT_EQ(usage.at(5).name, "kworker/u4:2-ev");
    EXPECT_EQ(usage.at(6).name, "kworker/u4:2-ev") << "kernel threads keep their own name";
    EXPECT_EQ(usage.at(7).name, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(usage.at(8).name, "abcdefghijklmno\xEF\xBF\xBD");
    EXPECT_EQ(usage.at(9).name, "abcdefghijklmno");
    EXPECT_EQ(usage.at(10).name, "abcdefghijklmno");
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
