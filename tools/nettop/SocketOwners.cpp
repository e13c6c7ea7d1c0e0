#include "SocketOwners.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <functional>
#include <unordered_set>

namespace {

std::optional<uint64_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() < prefix.size() + 2 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return std::nullopt;
    uint64_t inode = 0;
    const char* begin = link.data() + prefix.size();
    const char* end = link.data() + link.size() - 1;
    const auto [last, error] = std::from_chars(begin, end, inode);
    if (error != std::errc() || last != end) return std::nullopt;
    return inode;
}

}  // namespace

std::optional<ProcessIdentity> readIdentity(const std::string& procRoot, int32_t pid) {
    char path[32];
    *std::to_chars(path, path + 20, pid).ptr = 0;
    const std::string file = procRoot + "/" + path + "/stat";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[2048];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    const std::string_view text(buffer, static_cast<size_t>(n));
    const size_t open = text.find('(');
    size_t pos = text.rfind(')');
    if (open == std::string_view::npos || pos == std::string_view::npos || pos < open) return std::nullopt;
    ProcessIdentity identity;
    identity.name.assign(text.substr(open + 1, pos - open - 1));
    // After ")": fields 3 to 21, then starttime (22).
    for (int field = 3; field <= 22; ++field) {
        while (pos + 1 < text.size() && text[pos + 1] == ' ') ++pos;
        const size_t start = pos + 1;
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end == start) return std::nullopt;
        if (field == 22) {
            const auto [last, error] = std::from_chars(text.data() + start, text.data() + end, identity.startTime);
            if (error != std::errc() || last != text.data() + end) return std::nullopt;
            return identity;
        }
        pos = end;
    }
    return std::nullopt;
}

namespace {

// Length of the valid UTF-8 sequence at i, 0 when broken.
size_t sequenceLength(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = at(i);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (i + length > s.size() || at(i + 1) < low || at(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string csvSafeName(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        const size_t length = sequenceLength(raw, i);
        const std::string_view sequence(raw.data() + i, length == 0 ? 1 : length);
        const unsigned char lead = static_cast<unsigned char>(raw[i]);
        const bool separator = sequence == "\xC2\x85" || sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9";
        if (length == 0 || separator || lead < 0x20 || lead == 0x7F || lead == ',') out += '_';
        else out.append(sequence);
        i += length == 0 ? 1 : length;
    }
    return out;
}

namespace {

using Sockets = std::unordered_map<uint64_t, TcpSocketCounters>;

// One process's holdings, gathered from walks and confirmations.
struct Holder {
    std::vector<SocketCounts> sockets;
    std::unordered_set<uint64_t> inodes;
    void add(uint64_t inode, const TcpSocketCounters& counts, int32_t fd) {
        if (inodes.insert(inode).second) sockets.push_back({inode, counts.bytesReceived, counts.bytesAcked, fd});
    }
};

class Search {
public:
    Search(const Sockets& sockets, const std::string& procRoot) : sockets_(sockets), procRoot_(procRoot) {}
    ~Search() {
        if (proc_ >= 0) ::close(proc_);
    }

    bool open() {
        proc_ = ::open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return proc_ >= 0;
    }

    void list(std::vector<int32_t>& pids) {
        alignas(8) char buffer[16384];
        for (;;) {
            const ssize_t n = ::getdents64(proc_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (name[0] < '1' || name[0] > '9') continue;
                int32_t pid = 0;
                const char* end = name + std::strlen(name);
                if (const auto [last, error] = std::from_chars(name, end, pid); error == std::errc() && last == end)
                    pids.push_back(pid);
            }
        }
        std::sort(pids.begin(), pids.end());
    }

    // Reads every descriptor of pid; false when they cannot be read (another user's, or gone).
    bool walk(int32_t pid, const std::function<void(uint64_t inode, const TcpSocketCounters&, int32_t fd)>& found) {
        char path[24];
        std::memcpy(std::to_chars(path, path + 12, pid).ptr, "/fd", 4);
        const int directory = ::openat(proc_, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory < 0) return false;
        alignas(8) char buffer[8192];
        bool reachable = true;
        while (reachable) {
            const ssize_t n = ::getdents64(directory, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
                uint64_t inode = 0;
                bool refused = false;
                const auto counts = socketAt(directory, entry->d_name, inode, &refused);
                if (refused) {  // out of reach: so is every other descriptor of it
                    reachable = false;
                    break;
                }
                if (!counts) continue;
                int32_t fd = -1;
                std::from_chars(entry->d_name, entry->d_name + std::strlen(entry->d_name), fd);
                found(inode, *counts, fd);
            }
        }
        ::close(directory);
        return reachable;
    }

    // Whether descriptor fd of pid is still the socket inode.
    bool holds(int32_t pid, int32_t fd, uint64_t inode) {
        char path[40];
        char* out = std::to_chars(path, path + 12, pid).ptr;
        std::memcpy(out, "/fd/", 4);
        *std::to_chars(out + 4, path + sizeof path - 1, fd).ptr = 0;
        uint64_t found = 0;
        return socketAt(proc_, path, found) && found == inode;
    }

private:
    const TcpSocketCounters* socketAt(int directory, const char* name, uint64_t& inode, bool* refused = nullptr) {
        char link[64];
        const ssize_t n = ::readlinkat(directory, name, link, sizeof link);
        if (n < 0 && refused) *refused = errno == EACCES;
        if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return nullptr;
        const auto parsed = socketInode(std::string_view(link, static_cast<size_t>(n)));
        if (!parsed) return nullptr;
        const auto counts = sockets_.find(*parsed);
        if (counts == sockets_.end()) return nullptr;
        inode = *parsed;
        return &counts->second;
    }

    const Sockets& sockets_;
    const std::string& procRoot_;
    int proc_ = -1;
};

}  // namespace

OwnerSearch findSocketOwners(const Sockets& sockets, const std::string& procRoot, const PreviousOwners* previous) {
    OwnerSearch result;
    Search search(sockets, procRoot);
    if (!search.open()) return result;
    if (previous && previous->noneStartedSince) result.processes = previous->processes;
    else search.list(result.processes);
    std::unordered_map<int32_t, Holder> holders;
    std::unordered_map<int32_t, ProcessIdentity> identities;
    const auto walkFully = [&](int32_t pid) {
        Holder& holder = holders[pid];
        const bool walked = search.walk(pid, [&](uint64_t inode, const TcpSocketCounters& counts, int32_t fd) {
            holder.add(inode, counts, fd);
        });
        result.walked += walked;
        return walked;
    };

    if (!previous) {
        for (const int32_t pid : result.processes) walkFully(pid);
        std::unordered_set<uint64_t> held;
        for (const auto& [pid, holder] : holders) held.insert(holder.inodes.begin(), holder.inodes.end());
        for (const auto& [inode, counts] : sockets)
            if (!held.count(inode)) result.unowned.push_back(inode);
        std::sort(result.unowned.begin(), result.unowned.end());
    } else {
        const auto existedBefore = [&](int32_t pid) {
            return std::binary_search(previous->processes.begin(), previous->processes.end(), pid);
        };
        // Sockets that still need a holder among the processes that existed before: all
        // but those nobody could hold last time and, unless root, other users'.
        const uint32_t user = ::geteuid();
        std::unordered_set<uint64_t> unresolved;
        for (const auto& [inode, counts] : sockets)
            if ((user == 0 || counts.uid == user) &&
                !std::binary_search(previous->unowned.begin(), previous->unowned.end(), inode))
                unresolved.insert(inode);
        // Started since: whatever they hold is theirs to report.
        for (const int32_t pid : result.processes)
            if (!existedBefore(pid)) walkFully(pid);
        std::vector<int32_t> order;
        for (const auto& owner : previous->owners) {
            if (!existedBefore(owner.pid) ||
                !std::binary_search(result.processes.begin(), result.processes.end(), owner.pid))
                continue;
            auto identity = readIdentity(procRoot, owner.pid);
            if (!identity) continue;
            if (identity->startTime != owner.startTime) {  // the pid names a process started since
                walkFully(owner.pid);
                continue;
            }
            identities[owner.pid] = std::move(*identity);
            order.push_back(owner.pid);
            for (const auto& socket : owner.sockets) {
                const auto counts = sockets.find(socket.inode);
                if (counts == sockets.end() || socket.fd < 0 || !search.holds(owner.pid, socket.fd, socket.inode))
                    continue;
                holders[owner.pid].add(socket.inode, counts->second, socket.fd);
                unresolved.erase(socket.inode);
            }
        }
        if (!unresolved.empty()) {
            // Remembered holders first: new sockets are most often theirs.
            std::unordered_set<int32_t> first(order.begin(), order.end());
            for (const int32_t pid : result.processes)
                if (existedBefore(pid) && !first.count(pid)) order.push_back(pid);
            size_t walkedAll = 0;
            for (const int32_t pid : order) {
                walkFully(pid);
                for (const uint64_t inode : holders[pid].inodes) unresolved.erase(inode);
                ++walkedAll;
                if (unresolved.empty()) break;
            }
            // Searched everywhere in vain: held by no process this tool can read (a kernel
            // socket, or one of a process out of reach), and not searched for again.
            if (walkedAll == order.size()) {
                std::unordered_set<uint64_t> held;
                for (const auto& [pid, holder] : holders) held.insert(holder.inodes.begin(), holder.inodes.end());
                for (const uint64_t inode : unresolved)
                    if (!held.count(inode)) result.unowned.push_back(inode);
            }
        }
        for (const uint64_t inode : previous->unowned)
            if (sockets.count(inode)) result.unowned.push_back(inode);
        std::sort(result.unowned.begin(), result.unowned.end());
        result.unowned.erase(std::unique(result.unowned.begin(), result.unowned.end()), result.unowned.end());
    }

    for (auto& [pid, holder] : holders) {
        if (holder.sockets.empty()) continue;
        auto known = identities.find(pid);
        std::optional<ProcessIdentity> identity;
        if (known != identities.end()) identity = std::move(known->second);
        else identity = readIdentity(procRoot, pid);
        if (!identity) continue;
        result.owners.push_back({pid, identity->startTime, std::move(identity->name), std::move(holder.sockets)});
    }
    std::sort(result.owners.begin(), result.owners.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return result;
}
