#pragma once
#include <cstdint>
#include <optional>
#include <unordered_map>

// Cumulative byte counts of one TCP socket, as the kernel's TCP info reports them.
struct TcpSocketCounters {
    uint64_t bytesReceived = 0;
    uint64_t bytesAcked = 0;
    uint32_t uid = 0;  // of the process that made it
};

// Every TCP socket (IPv4 and IPv6) by inode, read with sock_diag, except connections whose
// both ends are loopback addresses: those bytes never cross a network (the system-wide
// figure leaves loopback out too). Absent when the kernel does not answer (no inet_diag,
// or a netlink error).
std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> readTcpSocketCounters();

// 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104; the address as inet_diag gives it (four
// 32-bit words in network order, IPv4 in the first).
bool isLoopbackAddress(uint8_t family, const uint32_t (&address)[4]);
