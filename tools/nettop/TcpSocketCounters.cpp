#include "TcpSocketCounters.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace {

// TIME_WAIT and NEW_SYN_RECV entries are not full sockets: no inode, no owner. A socket that
// is only bound (reported by newer kernels) carries no traffic, and asking for it costs a
// walk of the whole bind table on every run: about a fifth of the dump here.
constexpr uint32_t wantedStates = ~((1U << 6) | (1U << 12) | (1U << 13));  // TIME_WAIT, NEW_SYN_RECV, BOUND_INACTIVE

class NetlinkSocket {
public:
    NetlinkSocket() : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_INET_DIAG)) {}
    ~NetlinkSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

bool sendToKernel(int fd, const void* message, size_t length) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(fd, message, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(length)) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

// The older request form dumps both families in one walk of the kernel's socket tables;
// the newer one takes a walk per family.
bool requestBothFamilies(int fd) {
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = 1;
    message.request.idiag_family = AF_INET;  // ignored: this form asks for every family
    message.request.idiag_states = wantedStates;
    message.request.idiag_ext = 1U << (INET_DIAG_INFO - 1);
    return sendToKernel(fd, &message, sizeof message);
}

bool requestDump(int fd, uint8_t family) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = family;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = wantedStates;
    message.request.idiag_ext = 1U << (INET_DIAG_INFO - 1);
    return sendToKernel(fd, &message, sizeof message);
}

// A loopback listener's peer is still unknown; it can only ever talk to loopback.
bool staysOnLoopback(const inet_diag_msg* message) {
    const auto& remote = message->id.idiag_dst;
    return isLoopbackAddress(message->idiag_family, message->id.idiag_src) &&
           (isLoopbackAddress(message->idiag_family, remote) || (remote[0] | remote[1] | remote[2] | remote[3]) == 0);
}

void readSocket(const inet_diag_msg* message, size_t length, std::unordered_map<uint64_t, TcpSocketCounters>& out) {
    // No inode: a connection in TIME_WAIT, or one its process has already closed.
    if (message->idiag_inode == 0) return;
    TcpSocketCounters counters;
    counters.uid = message->idiag_uid;
    SocketKey& key = counters.key;
    key.inode = message->idiag_inode;
    key.family = message->idiag_family;
    key.sourcePort = message->id.idiag_sport;
    key.destinationPort = message->id.idiag_dport;
    std::copy_n(message->id.idiag_src, 4, key.source);
    std::copy_n(message->id.idiag_dst, 4, key.destination);
    key.interface = message->id.idiag_if;
    std::copy_n(message->id.idiag_cookie, 2, key.cookie);
    size_t attributesLength = length - NLMSG_ALIGN(sizeof *message);
    for (auto* attribute = reinterpret_cast<const rtattr*>(message + 1); RTA_OK(attribute, attributesLength);
         attribute = RTA_NEXT(attribute, attributesLength)) {
        if (attribute->rta_type != INET_DIAG_INFO) continue;
        const size_t payload = RTA_PAYLOAD(attribute);
        const auto* bytes = static_cast<const unsigned char*>(RTA_DATA(attribute));
        // Older kernels send a shorter tcp_info: read only fields that are there.
        if (payload >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof(uint64_t))
            std::memcpy(&counters.bytesAcked, bytes + offsetof(tcp_info, tcpi_bytes_acked), sizeof(uint64_t));
        if (payload >= offsetof(tcp_info, tcpi_bytes_received) + sizeof(uint64_t))
            std::memcpy(&counters.bytesReceived, bytes + offsetof(tcp_info, tcpi_bytes_received), sizeof(uint64_t));
    }
    out[message->idiag_inode] = counters;
}

constexpr size_t receiveBufferSize = 64 * 1024;

// Not zeroed: only what the kernel wrote is read.
std::unique_ptr<char[]> receiveBuffer() { return std::unique_ptr<char[]>(new char[receiveBufferSize]); }

enum class DumpResult { done, refused, failed };

DumpResult readDump(int fd, std::unordered_map<uint64_t, TcpSocketCounters>& out) {
    const std::unique_ptr<char[]> storage = receiveBuffer();
    const std::span<char> buffer(storage.get(), receiveBufferSize);
    for (;;) {
        const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return DumpResult::failed;
        size_t remaining = static_cast<size_t>(received);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_DONE) return DumpResult::done;
            if (header->nlmsg_type == NLMSG_ERROR) return DumpResult::refused;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY && header->nlmsg_type != TCPDIAG_GETSOCK) continue;
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            if (!staysOnLoopback(message)) readSocket(message, header->nlmsg_len - NLMSG_HDRLEN, out);
        }
    }
}

struct LookupRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

LookupRequest lookupRequest(const SocketKey& key, uint32_t sequence) {
    LookupRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = key.family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_ext = 1U << (INET_DIAG_INFO - 1);
    message.request.id.idiag_sport = key.sourcePort;
    message.request.id.idiag_dport = key.destinationPort;
    std::copy_n(key.source, 4, message.request.id.idiag_src);
    std::copy_n(key.destination, 4, message.request.id.idiag_dst);
    message.request.id.idiag_if = key.interface;
    std::copy_n(key.cookie, 2, message.request.id.idiag_cookie);
    return message;
}

// The kernel answers a request while it is being sent, each with its socket or an error;
// the answers wait in the receive buffer, so a batch must fit in it.
constexpr size_t lookupBatch = 32;

}  // namespace

bool isLoopbackAddress(uint8_t family, const uint32_t (&address)[4]) {
    const auto byte = [&](size_t i) { return reinterpret_cast<const unsigned char*>(address)[i]; };
    if (family == AF_INET) return byte(0) == 127;
    if (family != AF_INET6) return false;
    for (size_t i = 0; i < 10; ++i)
        if (byte(i) != 0) return false;
    if (byte(10) == 0xff && byte(11) == 0xff) return byte(12) == 127;  // IPv4-mapped
    if (byte(10) != 0 || byte(11) != 0 || byte(12) != 0 || byte(13) != 0 || byte(14) != 0) return false;
    return byte(15) == 1;
}

std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> readTcpSocketCounters() {
    NetlinkSocket socket;
    if (socket.fd() < 0) return std::nullopt;
    std::unordered_map<uint64_t, TcpSocketCounters> counters;
    if (requestBothFamilies(socket.fd())) {
        const DumpResult result = readDump(socket.fd(), counters);
        if (result == DumpResult::done) return counters;
        if (result == DumpResult::failed) return std::nullopt;
        counters.clear();
    }
    if (!requestDump(socket.fd(), AF_INET) || readDump(socket.fd(), counters) != DumpResult::done)
        return std::nullopt;
    // A kernel without IPv6 refuses that family: then there are no IPv6 sockets to count.
    if (!requestDump(socket.fd(), AF_INET6) || readDump(socket.fd(), counters) == DumpResult::failed)
        return std::nullopt;
    return counters;
}

std::optional<std::unordered_map<uint64_t, TcpSocketCounters>> lookUpTcpSockets(std::span<const SocketKey> keys) {
    std::unordered_map<uint64_t, TcpSocketCounters> counters;
    if (keys.empty()) return counters;
    NetlinkSocket socket;
    if (socket.fd() < 0) return std::nullopt;
    const std::unique_ptr<char[]> storage = receiveBuffer();
    std::vector<LookupRequest> batch;
    for (size_t first = 0; first < keys.size(); first += lookupBatch) {
        batch.clear();
        const size_t count = std::min(lookupBatch, keys.size() - first);
        // Sequence numbers from 1 name the key each answer is for.
        for (size_t i = 0; i < count; ++i) batch.push_back(lookupRequest(keys[first + i], static_cast<uint32_t>(first + i + 1)));
        if (!sendToKernel(socket.fd(), batch.data(), batch.size() * sizeof(LookupRequest))) return std::nullopt;
        for (size_t answered = 0; answered < count;) {
            const ssize_t received = ::recv(socket.fd(), storage.get(), receiveBufferSize, MSG_DONTWAIT);
            if (received < 0 && errno == EINTR) continue;
            // Nothing more to read before every request was answered: answers were dropped.
            if (received <= 0) return std::nullopt;
            size_t remaining = static_cast<size_t>(received);
            for (auto* header = reinterpret_cast<const nlmsghdr*>(storage.get()); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_seq <= first || header->nlmsg_seq > first + count) return std::nullopt;
                const SocketKey& key = keys[header->nlmsg_seq - 1];
                ++answered;
                if (header->nlmsg_type == NLMSG_ERROR) {
                    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return std::nullopt;
                    const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
                    // Gone, or the key now names another socket (the cookie tells).
                    if (error == ENOENT || error == ESTALE) continue;
                    return std::nullopt;
                }
                if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    return std::nullopt;
                const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                if (message->idiag_inode != key.inode) continue;  // closed, in TIME_WAIT
                readSocket(message, header->nlmsg_len - NLMSG_HDRLEN, counters);
            }
        }
    }
    return counters;
}

std::optional<ConnectionsOpened> readConnectionsOpened(const std::string& procRoot) {
    struct stat network{};
    if (::stat((procRoot + "/self/ns/net").c_str(), &network) != 0) return std::nullopt;
    const int fd = ::open((procRoot + "/self/net/snmp").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[16384];
    size_t length = 0;
    for (ssize_t n; length < sizeof text && (n = ::read(fd, text + length, sizeof text - length)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        length += static_cast<size_t>(n);
    }
    ::close(fd);
    // Two lines start with "Tcp:": the names, then the values in the same order.
    std::string_view rest(text, length);
    std::vector<std::string_view> names;
    while (!rest.empty()) {
        const size_t newline = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(std::min(newline + 1, rest.size()));
        if (!line.starts_with("Tcp: ")) continue;
        line.remove_prefix(5);
        std::vector<std::string_view> fields;
        for (size_t space; !line.empty(); line.remove_prefix(std::min(space + 1, line.size()))) {
            space = std::min(line.find(' '), line.size());
            fields.push_back(line.substr(0, space));
        }
        if (names.empty()) {
            names = std::move(fields);
            continue;
        }
        if (fields.size() != names.size()) return std::nullopt;
        uint64_t opens = 0;
        int found = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] != "ActiveOpens" && names[i] != "PassiveOpens") continue;
            uint64_t value = 0;
            const auto [end, error] = std::from_chars(fields[i].data(), fields[i].data() + fields[i].size(), value);
            if (error != std::errc() || end != fields[i].data() + fields[i].size()) return std::nullopt;
            opens += value;
            ++found;
        }
        if (found != 2) return std::nullopt;
        return ConnectionsOpened{network.st_ino, opens};
    }
    return std::nullopt;
}
