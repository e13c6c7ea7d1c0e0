#include "platform/ProcessStarts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <string_view>
#include <utility>

namespace platform {

namespace {

// The pids of the latest reaps, by their place in the order of reaps. A reader looks every
// second or two; a few dozen cover the children started in between.
constexpr size_t remembered = 64;
// Beyond this many pids handed out between two looks, a listing is cheaper than asking.
constexpr int32_t widestGap = 16;

std::mutex reapsMutex;
std::array<int32_t, remembered> reaps;
uint64_t reapCount = 0;

uint64_t reapMark() {
    std::lock_guard lock(reapsMutex);
    return reapCount;
}

bool reapedSince(int32_t pid, uint64_t mark) {
    std::lock_guard lock(reapsMutex);
    // Older reaps than the ring holds count as unknown.
    if (reapCount - mark > remembered) return false;
    for (uint64_t sequence = mark; sequence < reapCount; ++sequence)
        if (reaps[sequence % remembered] == pid) return true;
    return false;
}

}  // namespace

void noteReapedChild(int32_t pid) {
    std::lock_guard lock(reapsMutex);
    reaps[reapCount % remembered] = pid;
    ++reapCount;
}

std::optional<int32_t> ProcessStarts::lastPid(const std::string& root) {
    const int fd = ::open((root + "/loadavg").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[128];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    // "0.00 0.01 0.05 1/302 26034\n": the last pid is the last field.
    std::string_view line(text, static_cast<size_t>(n));
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
    const size_t space = line.rfind(' ');
    if (space == std::string_view::npos || line.substr(0, space).find('/') == std::string_view::npos) return std::nullopt;
    const std::string_view field = line.substr(space + 1);
    int32_t pid = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), pid);
    if (error != std::errc() || end != field.data() + field.size() || pid < 0) return std::nullopt;
    return pid;
}

bool ProcessStarts::noneSinceLastLook() {
    // The mark first: a child reaped from here on was started after the pid is read.
    const uint64_t mark = reapMark();
    const std::optional<int32_t> now = lastPid(root_);
    const std::optional<int32_t> before = std::exchange(last_, now);
    const uint64_t beforeMark = std::exchange(reapMark_, mark);
    if (!now || !before || *now < *before || *now - *before > widestGap) return false;
    for (int32_t pid = *before + 1; pid <= *now; ++pid)
        if (!reapedSince(pid, beforeMark)) return false;
    return true;
}

}  // namespace platform
