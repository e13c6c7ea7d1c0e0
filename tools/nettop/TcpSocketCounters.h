#pragma once
#include <cstdint>
#include <optional>
#include <unordered_map>

// Cumulative byte counts of one TCP socket, as the kernel's TCP info reports them.
struct TcpSocketCounters {
    uint64_t bytesReceived = 0;
    uint64_t bytesAcked = 0;
};

// Every TCP socket (IPv4 and IPv6) by inode, read with sock_diag. Absent when the
// kernel does not answer (no inet_diag, or a netlink error).
std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> readTcpSocketCounters();
