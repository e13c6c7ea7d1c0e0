#include "TcpSocketCounters.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>

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

void readSocket(const inet_diag_msg* message, size_t length, std::unordered_map<uint64_t, TcpSocketCounters>& out) {
    if (message->idiag_inode == 0) return;
    // A loopback listener's peer is still unknown; it can only ever talk to loopback.
    const auto& remote = message->id.idiag_dst;
    if (isLoopbackAddress(message->idiag_family, message->id.idiag_src) &&
        (isLoopbackAddress(message->idiag_family, remote) || (remote[0] | remote[1] | remote[2] | remote[3]) == 0))
        return;
    TcpSocketCounters counters;
    counters.uid = message->idiag_uid;
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

enum class DumpResult { done, refused, failed };

DumpResult readDump(int fd, std::unordered_map<uint64_t, TcpSocketCounters>& out) {
    // Not zeroed: only what the kernel wrote is read.
    const std::unique_ptr<char[]> storage(new char[64 * 1024]);
    const std::span<char> buffer(storage.get(), 64 * 1024);
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
            readSocket(static_cast<const inet_diag_msg*>(NLMSG_DATA(header)), header->nlmsg_len - NLMSG_HDRLEN, out);
        }
    }
}

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
