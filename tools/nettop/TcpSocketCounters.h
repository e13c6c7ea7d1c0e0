#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

// What the kernel needs to find one socket again without walking its tables: the
// addresses as inet_diag gives them (network order, IPv4 in the first word) and the
// socket's cookie, which no other socket shares.
struct SocketKey {
    uint64_t inode = 0;
    uint8_t family = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    uint32_t source[4] = {};
    uint32_t destination[4] = {};
    uint32_t interface = 0;
    uint32_t cookie[2] = {};
    bool operator==(const SocketKey&) const = default;
};

// Cumulative byte counts of one TCP socket, as the kernel's TCP info reports them.
struct TcpSocketCounters {
    uint64_t bytesReceived = 0;
    uint64_t bytesAcked = 0;
    uint32_t uid = 0;  // of the process that made it
    SocketKey key;
};

// Every TCP socket (IPv4 and IPv6) by inode, read with sock_diag, except connections whose
// both ends are loopback addresses: those bytes never cross a network (the system-wide
// figure leaves loopback out too). Absent when the kernel does not answer (no inet_diag,
// or a netlink error).
std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> readTcpSocketCounters();

// The sockets of `keys` that are still open, each asked for by its key: the kernel looks
// them up in its hash tables instead of walking them. A socket that closed, or whose key
// now names another socket, is left out; loopback is not (the keys' owner chose them). Absent when the kernel did not answer every
// request (then a dump is the way to learn the counts).
std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> lookUpTcpSockets(std::span<const SocketKey> keys);

// How many TCP connections a network namespace has opened so far, both ways (ActiveOpens +
// PassiveOpens of net/snmp, IPv4 and IPv6 together). While it stays the same, every
// connection open now was open at the last reading.
struct ConnectionsOpened {
    uint64_t network = 0;  // the namespace (inode of ns/net)
    uint64_t count = 0;
    bool operator==(const ConnectionsOpened&) const = default;
};
// This process's namespace; absent when unreadable.
std::optional<ConnectionsOpened> readConnectionsOpened(const std::string& procRoot = "/proc");

// 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104; the address as inet_diag gives it (four
// 32-bit words in network order, IPv4 in the first).
bool isLoopbackAddress(uint8_t family, const uint32_t (&address)[4]);
