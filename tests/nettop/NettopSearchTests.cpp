// The search for the sockets' holders on a /proc-like tree: what a run walks when it
// knows what the previous run found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "SocketOwners.h"
#include "platform/LastPid.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

class FixtureProc {
public:
    const std::string& root() const { return directory_.path(); }

    void process(int32_t pid, uint64_t start) {
        fs::create_directories(path(pid) / "fd");
        std::ofstream(path(pid) / "stat") << pid << " (p" << pid << ") S 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 "
                                          << start << " 0 0\n";
        link(pid, 0, "/dev/null");
    }
    void socket(int32_t pid, int fd, uint64_t inode) { link(pid, fd, "socket:[" + std::to_string(inode) + "]"); }
    void close(int32_t pid, int fd) { fs::remove(path(pid) / "fd" / std::to_string(fd)); }
    void exit(int32_t pid) { fs::remove_all(path(pid)); }

private:
    fs::path path(int32_t pid) const { return fs::path(root()) / std::to_string(pid); }
    void link(int32_t pid, int fd, const std::string& target) {
        fs::create_symlink(target, path(pid) / "fd" / std::to_string(fd));
    }
    testsupport::TemporaryDirectory directory_;
};

std::unordered_map<uint64_t, TcpSocketCounters> dump(std::initializer_list<uint64_t> inodes) {
    std::unordered_map<uint64_t, TcpSocketCounters> sockets;
    for (const uint64_t inode : inodes) sockets[inode] = {inode * 10, inode, static_cast<uint32_t>(::geteuid()), {}};
    return sockets;
}

std::map<int32_t, std::set<uint64_t>> holdings(const OwnerSearch& search) {
    std::map<int32_t, std::set<uint64_t>> out;
    for (const auto& owner : search.owners)
        for (const auto& socket : owner.sockets) out[owner.pid].insert(socket.inode);
    return out;
}

// What the next run reads from the state.
PreviousOwners remember(const OwnerSearch& search) {
    PreviousOwners previous{{}, search.processes, search.unowned};
    for (const auto& owner : search.owners) previous.owners.push_back({owner.pid, owner.startTime, 0, 0, owner.sockets});
    return previous;
}

}  // namespace

TEST(NettopSearch, ALaterRunWalksOnlyWhatChangedAndFindsTheSameHolders) {
    FixtureProc proc;
    for (int32_t pid : {10, 11, 12}) proc.process(pid, 100);
    proc.socket(10, 3, 100);
    proc.socket(11, 4, 101);
    proc.socket(11, 7, 100);  // shared with 10
    proc.socket(11, 8, 100);  // twice in one process: counted once
    using Holdings = std::map<int32_t, std::set<uint64_t>>;

    auto run = findSocketOwners(dump({100, 101}), proc.root());
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {100, 101}}}));
    EXPECT_EQ(run.walked, 3u);
    EXPECT_EQ(run.processes, (std::vector<int32_t>{10, 11, 12}));
    ASSERT_EQ(run.owners[0].name, "p10");

    auto previous = remember(run);
    run = findSocketOwners(dump({100, 101}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {100, 101}}}));
    EXPECT_EQ(run.walked, 0u) << "every holder confirmed by its remembered descriptor";

    // A child forked since holds its parent's socket: new processes are always walked.
    proc.process(13, 200);
    proc.socket(13, 3, 101);
    previous = remember(run);
    run = findSocketOwners(dump({100, 101}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {100, 101}}, {13, {101}}}));
    EXPECT_EQ(run.walked, 1u);

    // A new connection of a process that held none: searched for until found.
    proc.socket(12, 9, 102);
    previous = remember(run);
    run = findSocketOwners(dump({100, 101, 102}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {100, 101}}, {12, {102}}, {13, {101}}}));
    EXPECT_LE(run.walked, 4u);

    // A socket moved to another descriptor is found again; one that no process holds is
    // searched for once, then left alone.
    proc.close(10, 3);
    proc.socket(10, 5, 100);
    previous = remember(run);
    run = findSocketOwners(dump({100, 101, 102, 103}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {100, 101}}, {12, {102}}, {13, {101}}}));
    EXPECT_EQ(run.walked, 4u) << "103 was searched for everywhere";
    EXPECT_EQ(run.unowned, (std::vector<uint64_t>{103}));
    previous = remember(run);
    run = findSocketOwners(dump({100, 101, 102, 103}), proc.root(), &previous);
    EXPECT_EQ(run.walked, 0u);
    EXPECT_EQ(run.unowned, (std::vector<uint64_t>{103}));

    // 11 exits and its pid names a new process that holds what it inherited; a socket
    // that closed drops out.
    proc.exit(11);
    proc.process(11, 300);
    proc.socket(11, 4, 101);
    previous = remember(run);
    run = findSocketOwners(dump({100, 101, 103}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (Holdings{{10, {100}}, {11, {101}}, {13, {101}}}));
    for (const auto& owner : run.owners) {
        if (owner.pid == 11) {
            EXPECT_EQ(owner.startTime, 300u);
        }
    }
    EXPECT_EQ(run.unowned, (std::vector<uint64_t>{103}));
}

// The remembered descriptors are confirmed only for the same process, and an answer from
// a search that could not finish never marks a socket as held by nobody.
TEST(NettopSearch, NothingRememberedIsTakenOnTrust) {
    FixtureProc proc;
    proc.process(20, 100);
    proc.process(21, 100);
    proc.socket(20, 3, 200);
    auto run = findSocketOwners(dump({200}), proc.root());
    auto previous = remember(run);
    // 20 closed 200 and 21 (which existed) got it handed over at the same descriptor.
    proc.close(20, 3);
    proc.socket(21, 3, 200);
    run = findSocketOwners(dump({200}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (std::map<int32_t, std::set<uint64_t>>{{21, {200}}}));
    EXPECT_TRUE(run.unowned.empty());
    // A state without descriptors (an older file) means searching.
    previous = remember(run);
    for (auto& owner : previous.owners)
        for (auto& socket : owner.sockets) socket.fd = -1;
    run = findSocketOwners(dump({200}), proc.root(), &previous);
    EXPECT_EQ(holdings(run), (std::map<int32_t, std::set<uint64_t>>{{21, {200}}}));
    EXPECT_GE(run.walked, 1u);
}

// Told that no process started since, a run takes the previous list as it stands and does
// not list /proc: a process that did start is then found only by a later listing.
TEST(NettopSearch, NothingStartedSinceMeansTheProcessesListedThen) {
    FixtureProc proc;
    proc.process(30, 100);
    proc.socket(30, 3, 300);
    auto previous = remember(findSocketOwners(dump({300}), proc.root()));
    proc.process(31, 200);
    proc.socket(31, 3, 301);
    previous.noneStartedSince = true;
    auto run = findSocketOwners(dump({300}), proc.root(), &previous);
    EXPECT_EQ(run.processes, (std::vector<int32_t>{30}));
    EXPECT_EQ(holdings(run), (std::map<int32_t, std::set<uint64_t>>{{30, {300}}}));
    EXPECT_EQ(run.walked, 0u);
    previous = remember(run);
    run = findSocketOwners(dump({300, 301}), proc.root(), &previous);
    EXPECT_EQ(run.processes, (std::vector<int32_t>{30, 31}));
    EXPECT_EQ(holdings(run), (std::map<int32_t, std::set<uint64_t>>{{30, {300}}, {31, {301}}}));
}

TEST(NettopSearch, TheLastPidIsTheLastFieldOfLoadavg) {
    FixtureProc proc;
    const auto withLoadavg = [&](const std::string& text) {
        std::ofstream(proc.root() + "/loadavg", std::ios::trunc) << text;
        return platform::readLastPid(proc.root());
    };
    EXPECT_EQ(withLoadavg("0.00 0.01 0.05 1/302 26034\n"), 26034);
    EXPECT_EQ(withLoadavg("12.50 3.00 1.00 17/4000 4194304"), 4194304);
    for (const char* text : {"", "0.00 0.01 0.05 1/302\n", "0.00 0.01 0.05 1/302 0\n",
                                    "0.00 0.01 0.05 1/302 12x\n", "0.00 0.01 0.05 1 302\n", "26034\n"})
        EXPECT_FALSE(withLoadavg(text)) << text;
    fs::remove(proc.root() + "/loadavg");
    EXPECT_FALSE(platform::readLastPid(proc.root()));
}
