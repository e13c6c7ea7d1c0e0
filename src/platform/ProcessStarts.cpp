#include "platform/ProcessStarts.h"

#include "platform/LastPid.h"

#include <algorithm>
#include <array>
#include <mutex>
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

bool ProcessStarts::noneSinceLastLook() {
    // The mark first: a child reaped from here on was started after the pid is read.
    const uint64_t mark = reapMark();
    const std::optional<int32_t> now = readLastPid(root_);
    const std::optional<int32_t> before = std::exchange(last_, now);
    const uint64_t beforeMark = std::exchange(reapMark_, mark);
    if (!now || !before || *now < *before || *now - *before > widestGap) return false;
    for (int32_t pid = *before + 1; pid <= *now; ++pid)
        if (!reapedSince(pid, beforeMark)) return false;
    return true;
}

}  // namespace platform
