// The tool's state: what it remembers between runs, and the file that holds it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <map>
#include <thread>

#include "NettopState.h"
#include "TcpSocketCounters.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

OwnerSockets owner(int32_t pid, uint64_t start, std::vector<SocketCounts> sockets) {
    return OwnerSockets{pid, start, std::string("p").append(std::to_string(pid)), std::move(sockets)};
}

// Every process of the test is alive with its start time, except those in `gone`.
auto aliveExcept(std::map<int32_t, uint64_t> live) {
    return [live](int32_t pid, uint64_t start) -> std::optional<std::string> {
        const auto found = live.find(pid);
        if (found == live.end() || found->second != start) return std::nullopt;
        return std::string("p").append(std::to_string(pid));
    };
}

}  // namespace

TEST(NettopState, ClosedSocketsKeepTheirBytesUntilTheProcessExits) {
    const auto alive = aliveExcept({{10, 100}, {11, 200}});
    NettopState state{"boot", {}};
    // Run 1: pid 10 has two sockets.
    auto run = advanceState(state, {owner(10, 100, {{1, 1000, 10}, {2, 500, 5}})}, alive);
    ASSERT_EQ(run.totals.size(), 1u);
    EXPECT_EQ(run.totals[0], (ProcessTotals{10, "p10", 1500, 15}));
    // Run 2: socket 1 closed (its last counts stay), socket 2 grew, socket 3 opened.
    run = advanceState(run.next, {owner(10, 100, {{2, 800, 8}, {3, 50, 1}})}, alive);
    EXPECT_EQ(run.totals[0], (ProcessTotals{10, "p10", 1000 + 800 + 50, 10 + 8 + 1}));
    // Run 3: no socket open at all: still listed, same totals, while it lives.
    run = advanceState(run.next, {}, alive);
    ASSERT_EQ(run.totals.size(), 1u);
    EXPECT_EQ(run.totals[0], (ProcessTotals{10, "p10", 1850, 19}));
    // Run 4: a new connection adds to them.
    run = advanceState(run.next, {owner(10, 100, {{4, 7, 7}})}, alive);
    EXPECT_EQ(run.totals[0], (ProcessTotals{10, "p10", 1857, 26}));
    // Run 5: the process exited: forgotten.
    run = advanceState(run.next, {}, aliveExcept({}));
    EXPECT_TRUE(run.totals.empty());
    EXPECT_TRUE(run.next.owners.empty());
}

TEST(NettopState, AReusedPidOrAReusedInodeStartsFromNothing) {
    NettopState state{"boot", {}};
    auto run = advanceState(state, {owner(20, 100, {{1, 9000, 900}})}, aliveExcept({{20, 100}}));
    // The pid now names a process started later: the old totals are not its own.
    run = advanceState(run.next, {owner(20, 555, {{2, 10, 1}})}, aliveExcept({{20, 555}}));
    ASSERT_EQ(run.totals.size(), 1u);
    EXPECT_EQ(run.totals[0], (ProcessTotals{20, "p20", 10, 1}));
    // Without sockets and with another start time: gone, not carried over.
    auto reused = advanceState(NettopState{"boot", {{21, 100, 500, 50, {}}}}, {}, aliveExcept({{21, 999}}));
    EXPECT_TRUE(reused.totals.empty());
    // An inode counting from less than last time is another socket: the old one's bytes
    // are kept and the new one's added.
    run = advanceState(NettopState{"boot", {{22, 1, 0, 0, {{7, 5000, 50}}}}}, {owner(22, 1, {{7, 100, 60}})},
                       aliveExcept({{22, 1}}));
    EXPECT_EQ(run.totals[0], (ProcessTotals{22, "p22", 5100, 110}));
    // Processes with nothing to report and no socket are not kept.
    run = advanceState(NettopState{"boot", {{23, 1, 0, 0, {{8, 0, 0}}}}}, {}, aliveExcept({{23, 1}}));
    EXPECT_TRUE(run.totals.empty());
    EXPECT_TRUE(run.next.owners.empty());
}

TEST(NettopState, TextRoundTripsAndAnythingElseIsRefused) {
    const NettopState state{"3b1f-aa", {{1, 2, 3, 4, {{5, 6, 7}, {8, 9, 10}}}, {11, 12, 0, 0, {}}}};
    const std::string written = serializeState(state);
    EXPECT_EQ(parseState(written), state);
    // What the next run's search needs: descriptors, the processes listed, the sockets
    // nobody held; and a file without them (an older one) is still read.
    NettopState search{"3b1f-aa", {{1, 2, 3, 4, {{5, 6, 7, 3}, {8, 9, 10}}}}};
    search.processes = std::vector<int32_t>{1, 2, 40000};
    search.unowned = {77, 78};
    search.runsSinceFullWalk = 12;
    EXPECT_EQ(parseState(serializeState(search)), search);
    search.processes = std::vector<int32_t>{};
    search.unowned.clear();
    EXPECT_EQ(parseState(serializeState(search)), search);
    // The sockets to look up next time, an IPv6 one with every field at its widest.
    SocketKey v4{9, 2, 47873, 20480, {16777343}, {33663168}, 0, {7, 0}};
    SocketKey v6{4294967296, 10, 65535, 65535, {4294967295U, 1, 2, 3}, {4, 5, 6, 4294967295U}, 4294967295U,
                 {4294967295U, 4294967295U}};
    search.lookup = SocketLookup{{4026531840, 18446744073709551615ULL}, {v4, v6}};
    EXPECT_EQ(parseState(serializeState(search)), search);
    search.lookup->keys.clear();  // none open is something to compare with too
    search.lastPid = 4194304;
    EXPECT_EQ(parseState(serializeState(search)), search);
    const std::vector<std::string> broken = {
        "",
        "tidemark-nettop-state 2\nboot x\nend\n",
        "tidemark-nettop-state 1\nboot x\n",                       // cut before the end
        "tidemark-nettop-state 1\nboot x\nend",                    // no final newline
        "tidemark-nettop-state 1\nboot x\nend\np 1 2 3 4\n",       // after the end
        "tidemark-nettop-state 1\nboot x\ns 1 2 3\nend\n",         // socket without owner
        "tidemark-nettop-state 1\nboot x\np 1 2 3\nend\n",         // a field missing
        "tidemark-nettop-state 1\nboot x\np 1 2 3 4 5\nend\n",     // one too many
        "tidemark-nettop-state 1\nboot x\np -1 2 3 4\nend\n",
        "tidemark-nettop-state 1\nboot x\np 1 2 3 99999999999999999999\nend\n",
        "tidemark-nettop-state 1\nboot x\np 1 2 3 4x\nend\n",
        "tidemark-nettop-state 1\nboot \nend\n",
        "tidemark-nettop-state 1\nboot x\nq 1\nend\n",
        "tidemark-nettop-state 1\nboot x\np 1 2 3 4\ns 1 2 3 -1\nend\n",      // a negative descriptor
        "tidemark-nettop-state 1\nboot x\nprocesses 1 2\nend\n",             // no run count
        "tidemark-nettop-state 1\nboot x\npartial 1\nprocesses 2 1\nend\n",  // not ascending
        "tidemark-nettop-state 1\nboot x\npartial 1\nprocesses 0\nend\n",
        "tidemark-nettop-state 1\nboot x\nunowned 5 5\nend\n",
        "tidemark-nettop-state 1\nboot x\nk 9 2 1 2 0 7 0 1 0 0 0 2 0 0 0\nend\n",                    // key before its count
        "tidemark-nettop-state 1\nboot x\nlookup 1\nend\n",                                             // no count
        "tidemark-nettop-state 1\nboot x\nlookup 1 2\nk 9 2 1 2 0 7 0 1 0 0 0 2 0 0\nend\n",             // a word short
        "tidemark-nettop-state 1\nboot x\nlookup 1 2\nk 9 256 1 2 0 7 0 1 0 0 0 2 0 0 0\nend\n",        // family too wide
        "tidemark-nettop-state 1\nboot x\nlookup 1 2\nk 9 2 65536 2 0 7 0 1 0 0 0 2 0 0 0\nend\n",      // port too wide
        "tidemark-nettop-state 1\nboot x\nlookup 1 2\nk 9 2 1 2 0 7 0 1 0 0 0 2 0 0 0\nk 9 2 1 2 0 7 0 1 0 0 0 2 0 0 0\nend\n",
        "tidemark-nettop-state 1\nboot x\nlookup 1 2\nlookup 1 2\nend\n",
        "tidemark-nettop-state 1\nboot x\nlastpid 0\nend\n",
        "tidemark-nettop-state 1\nboot x\nlastpid 5 6\nend\n",
        "tidemark-nettop-state 1\nboot x\nlastpid 5\nlastpid 5\nend\n",
        std::string("tidemark-nettop-state 1\nboot x\np 1 2 3 4\0\nend\n", 45),
    };
    for (const auto& text : broken) EXPECT_FALSE(parseState(text)) << text;
    EXPECT_FALSE(parseState(std::string(maxStateFileBytes + 1, 'x')));
}

TEST(NettopState, TheStateStaysWithinItsBounds) {
    std::vector<OwnerSockets> many;
    for (int32_t pid = 1; pid <= static_cast<int32_t>(maxStateOwners) + 10; ++pid) {
        std::vector<SocketCounts> sockets;
        for (uint64_t i = 0; i < 10; ++i) sockets.push_back({static_cast<uint64_t>(pid) * 100 + i, 1, 1});
        many.push_back(owner(pid, 1, std::move(sockets)));
    }
    const auto run = advanceState(NettopState{"b", {}}, many, aliveExcept({}));
    EXPECT_EQ(run.totals.size(), many.size()) << "reported in full";
    size_t sockets = 0;
    for (const auto& kept : run.next.owners) sockets += kept.sockets.size();
    EXPECT_LE(run.next.owners.size(), maxStateOwners);
    EXPECT_LE(sockets, maxStateSockets);
    NettopState widest = run.next;
    widest.processes = std::vector<int32_t>(maxStateProcesses);
    for (size_t i = 0; i < maxStateProcesses; ++i) (*widest.processes)[i] = static_cast<int32_t>(i) + 1000000;
    widest.unowned.resize(maxStateSockets);
    for (size_t i = 0; i < maxStateSockets; ++i) widest.unowned[i] = 10000000000 + i;
    widest.lookup = SocketLookup{{4026531840, 18446744073709551615ULL}, {}};
    for (uint64_t i = 0; i < maxLookupSockets; ++i)
        widest.lookup->keys.push_back({10000000000 + i, 10, 65535, 65535, {4294967295U, 4294967295U, 4294967295U, 4294967295U},
                                       {4294967295U, 4294967295U, 4294967295U, 4294967295U}, 4294967295U,
                                       {4294967295U, 4294967295U}});
    const auto written = serializeState(widest);
    EXPECT_LE(written.size(), maxStateFileBytes);
    EXPECT_EQ(parseState(written), widest);
    widest.lookup->keys.push_back(widest.lookup->keys.back());
    widest.lookup->keys.back().inode += 1;
    EXPECT_FALSE(parseState(serializeState(widest))) << "more keys than the limit";
}

TEST(NettopStateFile, MissingCorruptForeignAndStaleFilesMeanStartingAfresh) {
    testsupport::TemporaryDirectory runtime;
    const std::string directory = runtime.path() + "/Tidemark";
    auto file = StateFile::open(directory, 1s);
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->isLocked());
    struct stat info {};
    ASSERT_EQ(::stat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(file->read("boot-a"), (NettopState{"boot-a", {}})) << "missing";

    const NettopState state{"boot-a", {{5, 6, 7, 8, {{9, 10, 11}}}}};
    ASSERT_TRUE(file->write(state));
    const std::string path = directory + "/" + StateFile::fileName;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(file->read("boot-a"), state);
    EXPECT_EQ(file->read("boot-b"), (NettopState{"boot-b", {}})) << "written before a reboot";

    std::ofstream(path) << "tidemark-nettop-state 1\nboot boot-a\np 5 6 7";  // cut short
    EXPECT_EQ(file->read("boot-a"), (NettopState{"boot-a", {}}));
    fs::remove(path);
    fs::create_symlink(runtime.path() + "/elsewhere", path);
    std::ofstream(runtime.path() + "/elsewhere") << serializeState(state);
    EXPECT_EQ(file->read("boot-a"), (NettopState{"boot-a", {}})) << "a link is not followed";
    // Writing replaces the link itself, never what it points at.
    ASSERT_TRUE(file->write(state));
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(file->read("boot-a"), state);
    // No temporary files are left behind.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) ++entries;
    EXPECT_EQ(entries, 2u);  // the state and its lock
}

TEST(NettopStateFile, ADirectoryOthersCanEnterIsRefused) {
    testsupport::TemporaryDirectory runtime;
    const std::string directory = runtime.path() + "/Tidemark";
    fs::create_directory(directory);
    ::chmod(directory.c_str(), 0755);
    EXPECT_FALSE(StateFile::open(directory, 1s));
    fs::remove(directory);
    fs::create_directory_symlink(runtime.path(), directory);
    EXPECT_FALSE(StateFile::open(directory, 1s)) << "a link in place of the directory";
    EXPECT_FALSE(StateFile::open(runtime.path() + "/missing/Tidemark", 1s));
    testsupport::ScopedEnvironment unset("XDG_RUNTIME_DIR", nullptr);
    EXPECT_FALSE(StateFile::defaultDirectory());
    testsupport::ScopedEnvironment set("XDG_RUNTIME_DIR", "/run/user/1000");
    EXPECT_EQ(StateFile::defaultDirectory(), "/run/user/1000/Tidemark");
}

TEST(NettopStateFile, TwoWritersTakeTurnsAndLoseNothing) {
    testsupport::TemporaryDirectory runtime;
    const std::string directory = runtime.path() + "/Tidemark";
    // Each round reads the count, adds one and writes it back, as a run of the tool does
    // with its totals; two writers at once must not lose a round or tear the file.
    constexpr int rounds = 100;
    auto writer = [&] {
        for (int i = 0; i < rounds; ++i) {
            const auto file = StateFile::open(directory, 5s);
            ASSERT_TRUE(file && file->isLocked());
            auto state = file->read("boot");
            if (state.owners.empty()) state.owners.push_back({1, 1, 0, 0, {}});
            ++state.owners[0].closedReceived;
            ASSERT_TRUE(file->write(state));
        }
    };
    std::thread first(writer), second(writer);
    first.join();
    second.join();
    const auto file = StateFile::open(directory, 1s);
    ASSERT_TRUE(file);
    const auto state = file->read("boot");
    ASSERT_EQ(state.owners.size(), 1u);
    EXPECT_EQ(state.owners[0].closedReceived, 2u * rounds);

    // A run that cannot get the lock in time leaves the state alone.
    const auto late = StateFile::open(directory, 50ms);
    ASSERT_TRUE(late);
    EXPECT_FALSE(late->isLocked());
    EXPECT_FALSE(late->write(NettopState{"boot", {}}));
    EXPECT_EQ(late->read("boot"), state) << "still readable";
}

TEST(NettopLoopback, OnlyLoopbackAddressesAreLoopback) {
    const auto v4 = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        uint32_t address[4] = {};
        const uint8_t bytes[4] = {a, b, c, d};
        std::memcpy(address, bytes, 4);
        return isLoopbackAddress(AF_INET, address);
    };
    EXPECT_TRUE(v4(127, 0, 0, 1));
    EXPECT_TRUE(v4(127, 9, 8, 7));
    EXPECT_FALSE(v4(198, 18, 0, 1));
    EXPECT_FALSE(v4(0, 0, 0, 0));
    const auto v6 = [](std::initializer_list<uint8_t> tail) {
        uint8_t bytes[16] = {};
        size_t i = 16 - tail.size();
        for (uint8_t b : tail) bytes[i++] = b;
        uint32_t address[4];
        std::memcpy(address, bytes, 16);
        return isLoopbackAddress(AF_INET6, address);
    };
    EXPECT_TRUE(v6({1}));
    EXPECT_TRUE(v6({0xff, 0xff, 127, 0, 0, 1}));
    EXPECT_FALSE(v6({0xff, 0xff, 198, 18, 0, 1}));
    EXPECT_FALSE(v6({0}));
    EXPECT_FALSE(v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}
