#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "TcpSocketCounters.h"

// The last counts of one socket held by a process.
struct SocketCounts {
    uint64_t inode = 0;
    uint64_t received = 0;
    uint64_t sent = 0;
    int32_t fd = -1;  // a descriptor of the process that held it, -1 when unknown
    bool operator==(const SocketCounts&) const = default;
};

// What one run leaves for the next, so that a process's totals never go down while it
// lives: the bytes of its sockets that have closed, and the last counts of those still open.
struct OwnerState {
    int32_t pid = 0;
    uint64_t startTime = 0;
    uint64_t closedReceived = 0;
    uint64_t closedSent = 0;
    std::vector<SocketCounts> sockets;
    bool operator==(const OwnerState&) const = default;
};

// One process with the sockets it holds now. pid and start time name the process: a
// reused pid has another start time.
struct OwnerSockets {
    int32_t pid = 0;
    uint64_t startTime = 0;
    std::string name;
    std::vector<SocketCounts> sockets;
};

// What the previous run learnt about the holders of the sockets.
struct PreviousOwners {
    std::vector<OwnerState> owners;       // with the descriptor of each socket
    std::vector<int32_t> processes;       // every pid listed then, ascending
    std::vector<uint64_t> unowned;        // sockets no readable process held, ascending
    // No process has started since: those listed then are all there can be, and /proc is
    // not listed again.
    bool noneStartedSince = false;
};

struct OwnerSearch {
    std::vector<OwnerSockets> owners;
    std::vector<int32_t> processes;  // every pid listed, ascending
    std::vector<uint64_t> unowned;   // ascending; filled only when every process was walked
    size_t walked = 0;               // processes whose descriptors were all read
};

// Finds the holders of the sockets through the "socket:[inode]" links under
// /proc/<pid>/fd. A socket held by several processes counts for each of them, once per
// process however many descriptors point at it. Processes that hold none are left out,
// and so are those whose stat cannot be read (they exited meanwhile).
//
// Without `previous` every process is walked. With it, only what changed since: a
// socket has no new holder unless a process forked since then or it was handed over, so
// the processes started since (pids not listed then) are walked; a remembered holder is
// confirmed by one readlink of its remembered descriptor; and the rest are walked,
// remembered holders first, only until every socket nobody confirmed is found. Sockets
// of other users are searched for only by root (others cannot read their holders).
OwnerSearch findSocketOwners(const std::unordered_map<uint64_t, TcpSocketCounters>& sockets,
                             const std::string& procRoot = "/proc", const PreviousOwners* previous = nullptr);

// The start time (clock ticks since boot, field 22 of stat) and the comm of a live process.
struct ProcessIdentity {
    uint64_t startTime = 0;
    std::string name;
};
std::optional<ProcessIdentity> readIdentity(const std::string& procRoot, int32_t pid);

// The name as one CSV field of valid UTF-8: separators, control characters, line
// separators and broken sequences become "_".
std::string csvSafeName(const std::string& raw);
