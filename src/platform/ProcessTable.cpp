#include "platform/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <numeric>
#include <string_view>

namespace platform {

namespace {

// Reads a whole small file into buf; the size read, or -1. One read is enough for
// /proc files of this size, but a short read is continued.
ssize_t readSmallFile(const char* path, char* buf, size_t capacity) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t total = 0;
    while (total < capacity) {
        const ssize_t n = ::read(fd, buf + total, capacity - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return -1;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    ::close(fd);
    return static_cast<ssize_t>(total);
}

// Skips spaces, then parses one unsigned decimal; advances pos past it.
bool nextUnsigned(std::string_view text, size_t& pos, uint64_t& value) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    const char* begin = text.data() + pos;
    const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
    if (error != std::errc()) return false;
    pos += static_cast<size_t>(end - begin);
    return true;
}

// Skips one space-separated field.
bool skipField(std::string_view text, size_t& pos) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    const size_t start = pos;
    while (pos < text.size() && text[pos] != ' ') ++pos;
    return pos > start;
}

// The value of a "key: number" line (io) or "Key:   number kB" line (status).
std::optional<uint64_t> fieldValue(std::string_view text, std::string_view key) {
    size_t at = 0;
    while (true) {
        at = text.find(key, at);
        if (at == std::string_view::npos) return std::nullopt;
        if (at == 0 || text[at - 1] == '\n') break;
        at += key.size();
    }
    size_t pos = at + key.size();
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data() + pos, text.data() + text.size(), value);
    if (error != std::errc()) return std::nullopt;
    return value;
}

// Builds "<root>/<pid>/<file>" in buf.
const char* entryPath(char* buf, size_t capacity, const std::string& root, int32_t pid, const char* file) {
    const size_t fileLength = std::strlen(file);
    if (root.size() + 16 + fileLength >= capacity) return nullptr;
    char* out = std::copy(root.begin(), root.end(), buf);
    *out++ = '/';
    out = std::to_chars(out, buf + capacity, pid).ptr;
    *out++ = '/';
    std::memcpy(out, file, fileLength + 1);
    return buf;
}

bool parseStat(std::string_view text, ProcessRecord& record) {
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
    record.name.assign(text.substr(open + 1, close - open - 1));
    size_t pos = close + 1;
    // After ")": state (3), ppid .. cmajflt (4-12), utime (14), stime (15), ..., starttime (22).
    for (int field = 3; field <= 13; ++field)
        if (!skipField(text, pos)) return false;
    uint64_t utime = 0, stime = 0;
    if (!nextUnsigned(text, pos, utime) || !nextUnsigned(text, pos, stime)) return false;
    for (int field = 16; field <= 21; ++field)
        if (!skipField(text, pos)) return false;
    if (!nextUnsigned(text, pos, record.startTime)) return false;
    record.cpuTicks = utime + stime;
    return true;
}

}  // namespace

ProcessTimebase processTimebase() {
    long ticks = ::sysconf(_SC_CLK_TCK);
    if (ticks <= 0) ticks = 100;
    const uint64_t numer = 1000000000ULL;
    const uint64_t divisor = std::gcd(numer, static_cast<uint64_t>(ticks));
    return {static_cast<uint32_t>(numer / divisor), static_cast<uint32_t>(static_cast<uint64_t>(ticks) / divisor)};
}

uint64_t ProcessTable::pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

ProcessTable::ProcessTable(std::string root, MemorySource memorySource)
    : root_(std::move(root)), memorySource_(memorySource), pageSize_(pageSize()) {}

std::optional<std::vector<int32_t>> ProcessTable::listProcesses() const {
    DIR* dir = ::opendir(root_.c_str());
    if (!dir) return std::nullopt;
    std::vector<int32_t> pids;
    pids.reserve(512);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] < '0' || name[0] > '9') continue;
        int32_t pid = 0;
        const char* end = name + std::strlen(name);
        const auto [last, error] = std::from_chars(name, end, pid);
        if (error != std::errc() || last != end) continue;
        pids.push_back(pid);
    }
    ::closedir(dir);
    return pids;
}

std::optional<ProcessRecord> ProcessTable::read(int32_t pid) const {
    char path[512];
    char buf[8192];
    ProcessRecord record;
    record.pid = pid;

    if (!entryPath(path, sizeof path, root_, pid, "stat")) return std::nullopt;
    ssize_t n = readSmallFile(path, buf, sizeof buf);
    if (n <= 0 || !parseStat(std::string_view(buf, static_cast<size_t>(n)), record)) return std::nullopt;

    if (memorySource_ == MemorySource::statm) {
        entryPath(path, sizeof path, root_, pid, "statm");
        n = readSmallFile(path, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        const std::string_view text(buf, static_cast<size_t>(n));
        size_t pos = 0;
        uint64_t size = 0, resident = 0, shared = 0;
        if (!nextUnsigned(text, pos, size) || !nextUnsigned(text, pos, resident) || !nextUnsigned(text, pos, shared))
            return std::nullopt;
        record.privateResidentBytes = resident > shared ? (resident - shared) * pageSize_ : 0;
    } else {
        entryPath(path, sizeof path, root_, pid, "status");
        n = readSmallFile(path, buf, sizeof buf);
        if (n <= 0) return std::nullopt;
        const std::string_view text(buf, static_cast<size_t>(n));
        // Kernel threads have neither line: no private memory.
        const uint64_t anon = fieldValue(text, "RssAnon:").value_or(0);
        const uint64_t swap = fieldValue(text, "VmSwap:").value_or(0);
        record.privateResidentBytes = (anon + swap) * 1024;
    }

    entryPath(path, sizeof path, root_, pid, "io");
    n = readSmallFile(path, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    const std::string_view io(buf, static_cast<size_t>(n));
    const auto readBytes = fieldValue(io, "read_bytes:");
    const auto writeBytes = fieldValue(io, "write_bytes:");
    if (!readBytes || !writeBytes) return std::nullopt;
    record.readBytes = *readBytes;
    record.writeBytes = *writeBytes;
    return record;
}

}  // namespace platform
