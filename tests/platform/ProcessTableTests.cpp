// The process reader's kept descriptors against real processes: exits, reused pids, a
// low descriptor limit and processes coming and going over many cycles.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "platform/ProcessSpawner.h"
#include "platform/ProcessTable.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using platform::ProcessTable;

namespace {

// Descriptors open in this process, the listing's own excluded.
size_t openDescriptors() {
    size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count - 1;
}

// A child that names itself and waits to be killed; pid 0 asks for any pid.
pid_t startChild(const char* name, pid_t wanted = 0) {
    clone_args args{};
    args.exit_signal = SIGCHLD;
    if (wanted > 0) {
        args.set_tid = reinterpret_cast<uintptr_t>(&wanted);
        args.set_tid_size = 1;
    }
    const long pid = ::syscall(SYS_clone3, &args, sizeof args);
    if (pid == 0) {
        ::prctl(PR_SET_NAME, name);
        for (;;) ::pause();
    }
    return static_cast<pid_t>(pid);
}

void stopChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// A name the child has set: prctl runs after clone returns.
std::string nameOf(ProcessTable& table, pid_t pid, const std::string& expected) {
    std::string name;
    testsupport::eventually(
        [&] {
            const auto record = table.read(pid);
            name = record ? record->name : "";
            return name == expected;
        },
        std::chrono::seconds(5));
    return name;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string statLine(const std::string& pid, uint64_t start) {
    return pid + " (fixture) S 1 1 1 0 -1 4194560 100 0 0 0 7 3 0 0 20 0 1 0 " + std::to_string(start) +
           " 1000000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

std::string statusText(uint64_t anonKilobytes) {
    return "Name:\tfixture\nRssAnon:\t" + std::to_string(anonKilobytes) + " kB\nRssShmem:\t0 kB\nVmSwap:\t0 kB\n";
}

bool readsAll(const std::vector<platform::ProcessRecord>& records, const std::vector<pid_t>& pids) {
    size_t found = 0;
    for (const auto& record : records) found += std::find(pids.begin(), pids.end(), record.pid) != pids.end();
    return found == pids.size();
}

// Run in a child: the limit stays with it. Every one of the children must be read,
// whatever else starts and exits on the machine meanwhile.
[[noreturn]] void readWithFewDescriptors(const std::vector<pid_t>& children) {
    const auto fail = [](const std::string& what) {
        std::fprintf(stderr, "%s\n", what.c_str());
        std::_Exit(1);
    };
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) fail("setrlimit");
    ProcessTable kept;
    ProcessTable reopened("/proc", ProcessTable::Descriptors::reopen);
    std::vector<platform::ProcessRecord> records, reference;
    for (int cycle = 0; cycle < 3; ++cycle) {
        if (!kept.readAll(records) || !reopened.readAll(reference)) fail("listing failed");
        if (kept.descriptorBudget() > 48 || kept.keptDescriptors() > kept.descriptorBudget())
            fail("kept " + std::to_string(kept.keptDescriptors()) + " of " +
                 std::to_string(kept.descriptorBudget()));
        if (reference.size() < children.size() || !readsAll(records, children) || !readsAll(reference, children))
            fail("read " + std::to_string(records.size()) + " of " + std::to_string(reference.size()));
    }
    for (const auto& r : records)
        if (std::find(children.begin(), children.end(), r.pid) != children.end() && r.name != "tm-many")
            fail("another name for " + std::to_string(r.pid));

    // Take every descriptor left, then read again.
    std::vector<int> taken;
    for (int fd; (fd = ::dup(0)) >= 0;) taken.push_back(fd);
    const size_t keptBefore = kept.keptDescriptors();
    if (!kept.readAll(records)) fail("listing with no descriptor left");
    if (!readsAll(records, children))
        fail("read " + std::to_string(records.size()) + " with no descriptor left");
    if (kept.keptDescriptors() >= keptBefore) fail("no descriptor given back");
    std::_Exit(0);
}

[[noreturn]] void spawnWithRaisedLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max <= 300) std::_Exit(0);  // nothing to raise
    limit.rlim_cur = 300;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (!platform::raiseDescriptorLimit() || platform::originalDescriptorLimit() != 300u) std::_Exit(2);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != limit.rlim_max) std::_Exit(3);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) std::_Exit(4);
    const auto child = platform::spawnProcess(
        {"/bin/sh", {"sh", "-c", "ulimit -Sn"}, std::nullopt, std::nullopt, pipeFds[1], -1, false});
    ::close(pipeFds[1]);
    char out[64] = {};
    const ssize_t n = ::read(pipeFds[0], out, sizeof out - 1);
    ::waitpid(child.pid, nullptr, 0);
    std::fprintf(stderr, "child limit %.*s", static_cast<int>(n > 0 ? n : 0), out);
    std::_Exit(std::string(out) == "300\n" ? 0 : 5);
}

// A soft limit already at the hard one needs no raising: that is success on every call,
// and there is no other limit for children to get back.
[[noreturn]] void raiseAtTheHardLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(0);  // nothing to test here
    if (!platform::raiseDescriptorLimit()) std::_Exit(2);
    if (!platform::raiseDescriptorLimit()) std::_Exit(3);
    if (platform::originalDescriptorLimit()) std::_Exit(4);
    std::_Exit(0);
}

}  // namespace

TEST(ProcessTable, AnExitedProcessIsDroppedAndItsReusedPidIsReadAfresh) {
    const size_t baseline = openDescriptors();
    {
        ProcessTable table;
        const pid_t first = startChild("tm-first");
        ASSERT_GT(first, 0);
        ASSERT_EQ(nameOf(table, first, "tm-first"), "tm-first");
        const auto before = table.read(first);
        ASSERT_TRUE(before);
        EXPECT_GE(table.keptDescriptors(), 4u) << "stat, statm, status and io stay open";

        stopChild(first);
        // One clock tick at least between the two start times.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const pid_t second = startChild("tm-second", first);
        if (second < 0) {
            const int error = errno;
            EXPECT_FALSE(table.read(first)) << "an exited process is not read through its kept descriptors";
            EXPECT_EQ(table.keptDescriptors(), 0u);
            GTEST_SKIP() << "cannot start a process under a chosen pid here (errno " << error << ")";
        }
        ASSERT_EQ(second, first);
        const std::string name = nameOf(table, second, "tm-second");
        EXPECT_EQ(name, "tm-second") << "the kept descriptors of the first process must not be read";
        const auto after = table.read(second);
        ASSERT_TRUE(after);
        EXPECT_GT(after->startTime, before->startTime);
        // Its own four, and its command line if it was read while the name was still cut.
        EXPECT_LE(table.keptDescriptors(), 5u) << "the first process's descriptors were closed";
        EXPECT_EQ(openDescriptors(), baseline + table.keptDescriptors() + 1);  // and the root's

        stopChild(second);
        EXPECT_FALSE(table.read(second));
        EXPECT_EQ(table.keptDescriptors(), 0u);
    }
    EXPECT_EQ(openDescriptors(), baseline);
}

// Paused processes change nothing between the two readings: every figure read through
// kept descriptors equals what opening each file reads.
TEST(ProcessTable, KeptDescriptorsReadWhatOpeningEachFileReads) {
    std::vector<pid_t> children;
    for (int i = 0; i < 5; ++i) children.push_back(startChild("tm-same"));
    ProcessTable kept;
    ProcessTable reopened("/proc", ProcessTable::Descriptors::reopen);
    std::vector<platform::ProcessRecord> first, second, reference;
    for (const pid_t pid : children) nameOf(kept, pid, "tm-same");
    ASSERT_TRUE(kept.readAll(first));
    ASSERT_TRUE(kept.readAll(second));
    ASSERT_TRUE(reopened.readAll(reference));
    // Stat is kept for every process; the children's statm, status and io as well. Other
    // users' io stays closed to an ordinary user, and kernel threads have no memory files.
    EXPECT_GE(kept.keptDescriptors(), second.size() + 3 * children.size());
    std::map<int32_t, platform::ProcessRecord> byPid;
    for (const auto& record : reference) byPid[record.pid] = record;
    size_t compared = 0;
    for (const auto& record : second) {
        const auto found = byPid.find(record.pid);
        if (found == byPid.end()) continue;
        // Other processes run meanwhile (a kernel worker's name follows its work).
        if (std::find(children.begin(), children.end(), record.pid) == children.end()) continue;
        const auto& other = found->second;
        ++compared;
        EXPECT_EQ(record.startTime, other.startTime);
        EXPECT_EQ(record.name, "tm-same");
        EXPECT_EQ(record.cpuTicks, other.cpuTicks);
        EXPECT_EQ(record.footprintBytes, other.footprintBytes);
        EXPECT_GT(record.footprintBytes, 0u);
        EXPECT_EQ(record.readBytes, other.readBytes);
        EXPECT_EQ(record.writeBytes, other.writeBytes);
    }
    EXPECT_EQ(compared, children.size());
    for (const pid_t pid : children) stopChild(pid);
}

// A fixture tree cannot fail a read with ESRCH; a start time that moved is what tells
// another process there. Files replaced by rename stay unseen through kept descriptors
// until the reader opens them again.
TEST(ProcessTable, AStartTimeThatMovesMeansAnotherProcessAndEveryFileIsOpenedAgain) {
    testsupport::TemporaryDirectory directory;
    const fs::path root = directory.path();
    const auto replace = [&](const std::string& relative, const std::string& text) {
        writeFile(root / (relative + ".new"), text);
        fs::rename(root / (relative + ".new"), root / relative);
    };
    writeFile(root / "5/stat", statLine("5", 100));
    writeFile(root / "5/status", statusText(10));
    ProcessTable table(root.string());
    std::vector<platform::ProcessRecord> records;
    ASSERT_TRUE(table.readAll(records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].footprintBytes, 10u * 1024);

    replace("5/status", statusText(20));
    ASSERT_TRUE(table.readAll(records));
    EXPECT_EQ(records[0].footprintBytes, 10u * 1024) << "the same process: its kept status is read";

    std::ofstream(root / "5/stat") << statLine("5", 250);  // in place: the kept stat sees it
    ASSERT_TRUE(table.readAll(records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].startTime, 250u);
    EXPECT_EQ(records[0].footprintBytes, 20u * 1024) << "another process: status opened afresh";
    EXPECT_EQ(records[0].cpuTicks, 10u);

    fs::remove_all(root / "5");
    ASSERT_TRUE(table.readAll(records));
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(table.keptDescriptors(), 0u) << "a process no longer listed gives its descriptors back";
}

// Status is read again when statm moves, and every so often when it does not; a reader
// that opens each file every time reads it every time.
TEST(ProcessTable, StatusIsReadAgainWhenStatmMovesAndNowAndThen) {
    testsupport::TemporaryDirectory directory;
    const fs::path root = directory.path();
    writeFile(root / "5/stat", statLine("5", 100));
    writeFile(root / "5/statm", "5000 1200 800 30 0 400 0\n");
    writeFile(root / "5/status", statusText(10));
    ProcessTable table(root.string());
    ProcessTable reopened(root.string(), ProcessTable::Descriptors::reopen);
    std::vector<platform::ProcessRecord> records;
    const auto footprint = [&](ProcessTable& reader) {
        EXPECT_TRUE(reader.readAll(records));
        return records.size() == 1 ? records[0].footprintBytes / 1024 : 0;
    };
    EXPECT_EQ(footprint(table), 10u);

    // Rewritten in place, so the kept descriptors see the new text.
    std::ofstream(root / "5/status") << statusText(20);
    EXPECT_EQ(footprint(table), 10u) << "statm did not move";
    EXPECT_EQ(footprint(reopened), 20u);
    std::ofstream(root / "5/statm") << "5000 1300 800 30 0 400 0\n";
    EXPECT_EQ(footprint(table), 20u) << "statm moved";

    std::ofstream(root / "5/status") << statusText(30);
    int readings = 1;
    while (footprint(table) != 30u && readings < 100) ++readings;
    EXPECT_GT(readings, 5);
    EXPECT_LE(readings, 15);

    // Without statm the footprint follows status on every reading.
    fs::remove(root / "5/statm");
    ProcessTable withoutStatm(root.string());
    EXPECT_EQ(footprint(withoutStatm), 30u);
    std::ofstream(root / "5/status") << statusText(40);
    EXPECT_EQ(footprint(withoutStatm), 40u);
}

// Drops this thread's right to read files whatever their mode (root's, in CI);
// capabilities belong to a thread, so the rest of the test process keeps them.
void dropFileReadOverrideOnThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        data[capability / 32].effective &= ~(1u << (capability % 32));
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
}

// Another user's io cannot be opened; the reader does not ask again on every reading,
// but does now and then (a process may change its credentials), and at once for a new
// process behind the pid.
TEST(ProcessTable, ARefusedFileIsAskedForAgainOnlyNowAndThen) {
    testsupport::TemporaryDirectory directory;
    const fs::path root = directory.path();
    std::thread([&] {
        dropFileReadOverrideOnThisThread();
        writeFile(root / "5/stat", statLine("5", 100));
        writeFile(root / "5/io", "rchar: 1\nwchar: 2\nread_bytes: 4096\nwrite_bytes: 8192\n");
        fs::permissions(root / "5/io", fs::perms::none);
        ProcessTable table(root.string());
        ProcessTable reopened(root.string(), ProcessTable::Descriptors::reopen);
        std::vector<platform::ProcessRecord> records;
        const auto readBytes = [&](ProcessTable& reader) {
            EXPECT_TRUE(reader.readAll(records));
            return records.size() == 1 ? records[0].readBytes : 1;
        };
        EXPECT_EQ(readBytes(table), 0u) << "refused";
        EXPECT_EQ(table.keptDescriptors(), 1u) << "stat alone";

        fs::permissions(root / "5/io", fs::perms::owner_read);
        EXPECT_EQ(readBytes(reopened), 4096u);
        int readings = 1;
        while (readBytes(table) != 4096u && readings < 100) ++readings;
        EXPECT_GT(readings, 5);
        EXPECT_LE(readings, 15);
        EXPECT_EQ(records[0].writeBytes, 8192u);
        EXPECT_EQ(table.keptDescriptors(), 2u) << "io kept once it opens";

        fs::permissions(root / "5/io", fs::perms::none);
        ProcessTable other(root.string());
        EXPECT_EQ(readBytes(other), 0u);
        fs::permissions(root / "5/io", fs::perms::owner_read);
        std::ofstream(root / "5/stat") << statLine("5", 250);
        EXPECT_EQ(readBytes(other), 4096u) << "another process: nothing it refused is remembered";
    }).join();
}

// With only 64 descriptors, most files are opened, read and closed; once every
// descriptor is taken, the reader gives some of its own back and still reads everyone.
TEST(ProcessTable, ALowDescriptorLimitFallsBackToOpeningEachFile) {
    std::vector<pid_t> children;
    for (int i = 0; i < 40; ++i) children.push_back(startChild("tm-many"));
    {
        ProcessTable table;  // closed before the child starts with few descriptors
        for (const pid_t pid : children) ASSERT_EQ(nameOf(table, pid, "tm-many"), "tm-many");
    }
    EXPECT_EXIT(readWithFewDescriptors(children), ::testing::ExitedWithCode(0), "");
    for (const pid_t pid : children) stopChild(pid);
}

TEST(ProcessTable, NoDescriptorLeaksOverManyCyclesWithProcessesComingAndGoing) {
    const size_t baseline = openDescriptors();
    {
        ProcessTable table;
        std::vector<platform::ProcessRecord> records;
        std::vector<pid_t> living;
        for (int cycle = 0; cycle < 60; ++cycle) {
            for (int i = 0; i < 3; ++i) living.push_back(startChild("tm-churn"));
            if (living.size() > 6) {
                for (int i = 0; i < 3; ++i) stopChild(living[static_cast<size_t>(i)]);
                living.erase(living.begin(), living.begin() + 3);
            }
            ASSERT_TRUE(table.readAll(records));
            ASSERT_EQ(openDescriptors(), baseline + table.keptDescriptors() + 1) << "cycle " << cycle;
            EXPECT_LE(table.keptDescriptors(), 4 * records.size());
        }
        for (const pid_t pid : living) stopChild(pid);
        ASSERT_TRUE(table.readAll(records));
        for (const auto& record : records)
            for (const pid_t pid : living) EXPECT_NE(record.pid, pid) << "a reaped child is still listed";
        EXPECT_EQ(openDescriptors(), baseline + table.keptDescriptors() + 1);
    }
    EXPECT_EQ(openDescriptors(), baseline);
}

// The application raises its own limit; the programs it starts get the one it was given.
TEST(ProcessTable, ARaisedDescriptorLimitIsNotPassedToChildren) {
    EXPECT_EXIT(spawnWithRaisedLimit(), ::testing::ExitedWithCode(0), "child limit 300");
    EXPECT_EXIT(raiseAtTheHardLimit(), ::testing::ExitedWithCode(0), "");
}
