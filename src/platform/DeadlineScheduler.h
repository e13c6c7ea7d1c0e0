#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Dispatch.h"

namespace platform {

// from + delay, held at the clock's ends instead of overflowing.
inline std::chrono::steady_clock::time_point deadlineAfter(std::chrono::steady_clock::time_point from,
                                                           Duration delay) {
    using TimePoint = std::chrono::steady_clock::time_point;
    if (delay > Duration::zero() && from > TimePoint::max() - delay) return TimePoint::max();
    if (delay < Duration::zero() && from < TimePoint::min() - delay) return TimePoint::min();
    return from + delay;
}

// One thread that runs short callbacks at steady-clock deadlines: it hands delayed work
// and timer ticks to their queues. A callback never runs before its deadline; leeway lets
// callbacks whose windows overlap share one wake-up.
class DeadlineScheduler {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static DeadlineScheduler& shared();

    // The callback runs on the scheduler thread and must not block.
    uint64_t schedule(TimePoint deadline, Duration leeway, Task callback);
    // A callback already taken for running still runs.
    void cancel(uint64_t identifier);

private:
    DeadlineScheduler();
    void loop();

    struct Entry {
        Duration leeway;
        Task callback;
    };
    using Key = std::pair<TimePoint, uint64_t>;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<Key, Entry> entries_;
    std::unordered_map<uint64_t, TimePoint> deadlines_;
    uint64_t nextIdentifier_ = 1;
    std::thread thread_;
};

}  // namespace platform
