#include "SocketOwners.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
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

std::string readFile(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text(limit, '\0');
    const ssize_t n = ::read(fd, text.data(), limit);
    ::close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

}  // namespace

std::optional<uint64_t> readStartTime(const std::string& procRoot, int32_t pid) {
    const std::string text = readFile(procRoot + "/" + std::to_string(pid) + "/stat", 1024);
    size_t pos = text.rfind(')');
    if (pos == std::string::npos) return std::nullopt;
    // After ")": fields 3 to 21, then starttime (22).
    for (int field = 3; field <= 22; ++field) {
        while (pos + 1 < text.size() && text[pos + 1] == ' ') ++pos;
        const size_t start = pos + 1;
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) return std::nullopt;
        if (field == 22) {
            uint64_t value = 0;
            const auto [last, error] = std::from_chars(text.data() + start, text.data() + end, value);
            if (error != std::errc() || last != text.data() + end) return std::nullopt;
            return value;
        }
        pos = end;
    }
    return std::nullopt;
}

std::string readName(const std::string& procRoot, int32_t pid) {
    const std::string path = procRoot + "/" + std::to_string(pid) + "/comm";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0) return {};
    std::string name(buffer, static_cast<size_t>(n));
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
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

std::vector<OwnerSockets> findSocketOwners(const std::unordered_map<uint64_t, TcpSocketCounters>& sockets,
                                           const std::string& procRoot) {
    std::vector<OwnerSockets> result;
    DIR* proc = ::opendir(procRoot.c_str());
    if (!proc) return result;
    std::unordered_set<uint64_t> seen;
    char path[16];
    char link[128];
    while (const dirent* entry = ::readdir(proc)) {
        const char* name = entry->d_name;
        if (name[0] < '0' || name[0] > '9') continue;
        int32_t pid = 0;
        const char* nameEnd = name + std::strlen(name);
        if (const auto [last, error] = std::from_chars(name, nameEnd, pid); error != std::errc() || last != nameEnd)
            continue;
        // pid digits (at most 10) + "/fd"
        if (nameEnd - name > 10) continue;
        std::memcpy(path, name, static_cast<size_t>(nameEnd - name));
        std::memcpy(path + (nameEnd - name), "/fd", 4);
        const int fdDirectory = ::openat(::dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDirectory < 0) continue;
        DIR* fds = ::fdopendir(fdDirectory);
        if (!fds) {
            ::close(fdDirectory);
            continue;
        }
        OwnerSockets owner;
        seen.clear();
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] < '0' || fd->d_name[0] > '9') continue;
            const ssize_t n = ::readlinkat(fdDirectory, fd->d_name, link, sizeof link);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof link) continue;
            const auto inode = socketInode(std::string_view(link, static_cast<size_t>(n)));
            if (!inode) continue;
            const auto found = sockets.find(*inode);
            if (found == sockets.end() || !seen.insert(*inode).second) continue;
            owner.sockets.push_back({*inode, found->second.bytesReceived, found->second.bytesAcked});
        }
        ::closedir(fds);
        if (owner.sockets.empty()) continue;
        const auto startTime = readStartTime(procRoot, pid);
        if (!startTime) continue;
        owner.pid = pid;
        owner.startTime = *startTime;
        owner.name = readName(procRoot, pid);
        result.push_back(std::move(owner));
    }
    ::closedir(proc);
    return result;
}
