// Parsing of the /proc files the process reader reads, without allocating.
#include "platform/ProcessTableText.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <numeric>

namespace platform {

namespace {

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

constexpr uint64_t kernelThreadFlag = 0x00200000;  // PF_KTHREAD

}  // namespace

namespace proctext {

// The value of a "key: number" line of io.
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

// RssAnon + RssShmem + VmSwap of status, in kB, in one pass over its lines. Kernel
// threads have none of them: 0.
uint64_t footprintKilobytes(std::string_view text) {
    constexpr std::string_view keys[] = {"RssAnon:", "RssShmem:", "VmSwap:"};
    uint64_t sum = 0;
    size_t found = 0;
    for (size_t pos = 0; pos < text.size() && found < 3;) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || (line[0] != 'R' && line[0] != 'V')) continue;
        for (const std::string_view key : keys) {
            if (line.substr(0, key.size()) != key) continue;
            size_t at = key.size();
            while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
            uint64_t value = 0;
            if (std::from_chars(line.data() + at, line.data() + line.size(), value).ec == std::errc()) sum += value;
            ++found;
            break;
        }
    }
    return sum;
}

bool parseStat(std::string_view text, ProcessRecord& record, bool& kernelThread) {
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
    record.name.assign(text.substr(open + 1, close - open - 1));
    size_t pos = close + 1;
    // After ")": state (3), ppid .. tpgid (4-8), flags (9), minflt .. cmajflt (10-13),
    // utime (14), stime (15), ..., starttime (22).
    for (int field = 3; field <= 8; ++field)
        if (!skipField(text, pos)) return false;
    uint64_t flags = 0;
    if (!nextUnsigned(text, pos, flags)) return false;
    kernelThread = (flags & kernelThreadFlag) != 0;
    for (int field = 10; field <= 13; ++field)
        if (!skipField(text, pos)) return false;
    uint64_t utime = 0, stime = 0;
    if (!nextUnsigned(text, pos, utime) || !nextUnsigned(text, pos, stime)) return false;
    for (int field = 16; field <= 21; ++field)
        if (!skipField(text, pos)) return false;
    if (!nextUnsigned(text, pos, record.startTime)) return false;
    record.cpuTicks = utime + stime;
    return true;
}

}  // namespace proctext

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

std::string_view ProcessTable::fullName(std::string_view comm, std::string_view commandLine) {
    if (comm.size() != commLength) return comm;
    const std::string_view first = commandLine.substr(0, commandLine.find('\0'));
    const size_t slash = first.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? first : first.substr(slash + 1);
    return base.size() > comm.size() && base.substr(0, comm.size()) == comm ? base : comm;
}

}  // namespace platform
