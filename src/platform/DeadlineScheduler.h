#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

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

// Callbacks waiting for steady-clock deadlines, each with a leeway. Not locked: its owner
// guards it.
class DeadlineSet {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // When to wake for the earliest entries: the latest deadline that still lies inside
    // every earlier entry's leeway window, and how much later than that the wake may
    // come (the kernel's timer slack can then merge it with other wake-ups).
    struct Wake {
        TimePoint at;
        Duration slack;
    };

    uint64_t add(TimePoint deadline, Duration leeway, Task callback);
    // The callback, for its owner to release outside its lock; empty when it was not there.
    Task remove(uint64_t identifier);
    bool empty() const { return entries_.empty(); }
    std::optional<Wake> nextWake() const;
    bool hasDue(TimePoint now) const { return !entries_.empty() && entries_.begin()->first.first <= now; }
    // Every callback due at `now`, in deadline order, taken out of the set.
    std::vector<Task> takeDue(TimePoint now);

private:
    struct Entry {
        Duration leeway;
        Task callback;
    };
    using Key = std::pair<TimePoint, uint64_t>;

    std::map<Key, Entry> entries_;
    std::unordered_map<uint64_t, TimePoint> deadlines_;
    uint64_t nextIdentifier_ = 1;
};

// One thread that runs short callbacks at steady-clock deadlines: it hands delayed work
// to queues that do not sleep on deadlines themselves (the utility queue). Started at its
// first use. A callback never runs before its deadline; leeway lets callbacks whose
// windows overlap share one wake-up.
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

    std::mutex mutex_;
    std::condition_variable wake_;
    DeadlineSet entries_;
    std::thread thread_;
};

// Lets the calling thread's timed waits come up to `slack` late, so the kernel can serve
// them together with other wake-ups. Calls the kernel only when the value changes.
void setTimerSlack(Duration slack);

}  // namespace platform
