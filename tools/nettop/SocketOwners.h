#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "TcpSocketCounters.h"

// One process's TCP traffic: the sums over the sockets it holds.
struct ProcessTraffic {
    int32_t pid = 0;
    std::string name;
    uint64_t bytesReceived = 0;
    uint64_t bytesSent = 0;
};

// Finds the holders of the sockets through the "socket:[inode]" links under
// /proc/<pid>/fd. A socket held by several processes counts for each of them, once per
// process however many descriptors point at it. Processes that hold none are left out;
// the result is in ascending pid order.
std::vector<ProcessTraffic> attributeToProcesses(const std::unordered_map<uint64_t, TcpSocketCounters>& sockets,
                                                 const std::string& procRoot = "/proc");

// The name as one CSV field of valid UTF-8: separators, control characters, line
// separators and broken sequences become "_".
std::string csvSafeName(const std::string& raw);
