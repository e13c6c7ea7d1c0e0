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
    bool operator==(const SocketCounts&) const = default;
};

// One process with the sockets it holds now. pid and start time name the process: a
// reused pid has another start time.
struct OwnerSockets {
    int32_t pid = 0;
    uint64_t startTime = 0;
    std::string name;
    std::vector<SocketCounts> sockets;
};

// Finds the holders of the sockets through the "socket:[inode]" links under
// /proc/<pid>/fd. A socket held by several processes counts for each of them, once per
// process however many descriptors point at it. Processes that hold none are left out,
// and so are those whose start time cannot be read (they exited meanwhile).
std::vector<OwnerSockets> findSocketOwners(const std::unordered_map<uint64_t, TcpSocketCounters>& sockets,
                                           const std::string& procRoot = "/proc");

// The start time (clock ticks since boot, field 22 of stat) of a live process.
std::optional<uint64_t> readStartTime(const std::string& procRoot, int32_t pid);
// The comm of a process, empty when it cannot be read.
std::string readName(const std::string& procRoot, int32_t pid);

// The name as one CSV field of valid UTF-8: separators, control characters, line
// separators and broken sequences become "_".
std::string csvSafeName(const std::string& raw);
