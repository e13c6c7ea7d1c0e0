// tidemark-nettop: per-process TCP byte counts in the CSV form Tidemark reads. Each
// process's counts never go down while it lives: a per-user state file carries the bytes
// of the sockets it has closed from one run to the next.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "NettopState.h"
#include "platform/LastPid.h"
#include "SocketOwners.h"
#include "TcpSocketCounters.h"

namespace {

constexpr int usageExitStatus = 64;  // EX_USAGE
const char* const expectedArguments[] = {"-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"};
// Another run holds the state for a few tens of milliseconds; Tidemark waits 3 s in all.
constexpr std::chrono::milliseconds lockWait{1000};
const std::string procRoot = "/proc";  // NOLINT: one string, made before main

bool argumentsMatch(int argc, char** argv) {
    constexpr int count = sizeof expectedArguments / sizeof expectedArguments[0];
    if (argc != count + 1) return false;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(argv[i + 1], expectedArguments[i]) != 0) return false;
    return true;
}

std::vector<SocketKey> keysOf(const std::unordered_map<uint64_t, TcpSocketCounters>& sockets) {
    std::vector<SocketKey> keys;
    keys.reserve(sockets.size());
    for (const auto& [inode, counters] : sockets) keys.push_back(counters.key);
    std::sort(keys.begin(), keys.end(), [](const SocketKey& a, const SocketKey& b) { return a.inode < b.inode; });
    return keys;
}

}  // namespace

int main(int argc, char** argv) {
    if (!argumentsMatch(argc, argv)) {
        std::fputs("usage: tidemark-nettop -P -L 1 -x -J bytes_in,bytes_out\n", stderr);
        return usageExitStatus;
    }
    // Taken before the sockets are read, so two runs see the sockets in the order they write.
    const auto directory = StateFile::defaultDirectory();
    const std::optional<StateFile> stateFile = directory ? StateFile::open(*directory, lockWait) : std::nullopt;
    const std::string bootId = readBootId(procRoot);
    const NettopState previous = stateFile ? stateFile->read(bootId) : NettopState{bootId, {}};
    // Without the processes listed last time, every process is walked.
    const bool fullWalk = !previous.processes || previous.runsSinceFullWalk + 1 >= runsBetweenFullWalks;
    // Read before the sockets: a connection opened after this is counted at the next run.
    const auto opened = readConnectionsOpened(procRoot);
    // While no connection has been opened since the last run, its sockets are all there
    // is; a dump would walk the kernel's whole socket table to find them again.
    std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> sockets;
    if (!fullWalk && opened && previous.lookup && previous.lookup->opened == *opened)
        sockets = lookUpTcpSockets(previous.lookup->keys);
    if (!sockets) sockets = readTcpSocketCounters();
    if (!sockets) {
        std::fputs("tidemark-nettop: the kernel's socket diagnostics are not available\n", stderr);
        return 1;
    }
    // Only this run's own pid handed out since the last run looked: no process started.
    const auto lastPid = platform::readLastPid(procRoot);
    const int32_t self = ::getpid();
    const bool noneStarted = lastPid == self && previous.lastPid && *previous.lastPid + 1 == self;
    std::optional<PreviousOwners> known;
    if (!fullWalk) known = PreviousOwners{previous.owners, *previous.processes, previous.unowned, noneStarted};
    OwnerSearch search = findSocketOwners(*sockets, procRoot, known ? &*known : nullptr);
    auto advance = advanceState(previous, search.owners, [](int32_t pid, uint64_t startTime) -> std::optional<std::string> {
        auto identity = readIdentity(procRoot, pid);
        if (!identity || identity->startTime != startTime) return std::nullopt;
        return std::move(identity->name);
    });
    if (stateFile) {
        if (search.processes.size() <= maxStateProcesses) advance.next.processes = std::move(search.processes);
        advance.next.runsSinceFullWalk = fullWalk ? 0 : previous.runsSinceFullWalk + 1;
        if (search.unowned.size() <= maxStateSockets) advance.next.unowned = std::move(search.unowned);
        advance.next.lastPid = lastPid;
        if (opened && sockets->size() <= maxLookupSockets) advance.next.lookup = SocketLookup{*opened, keysOf(*sockets)};
        stateFile->write(advance.next);
    }

    std::string out = ",bytes_in,bytes_out,\n";
    for (const auto& process : advance.totals) {
        out += csvSafeName(process.name);
        out += '.';
        out += std::to_string(process.pid);
        out += ',';
        out += std::to_string(process.received);
        out += ',';
        out += std::to_string(process.sent);
        out += ",\n";
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) return 1;
    return 0;
}
