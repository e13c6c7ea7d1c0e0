#include "platform/DeadlineScheduler.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace platform {

DeadlineScheduler& DeadlineScheduler::shared() {
    // Never destroyed: queues and timers may still schedule while static destructors run.
    static DeadlineScheduler* scheduler = new DeadlineScheduler();
    return *scheduler;
}

DeadlineScheduler::DeadlineScheduler() {
    thread_ = std::thread([this] { loop(); });
    pthread_setname_np(thread_.native_handle(), "deadlines");
}

uint64_t DeadlineScheduler::schedule(TimePoint deadline, Duration leeway, Task callback) {
    std::lock_guard lock(mutex_);
    const uint64_t identifier = nextIdentifier_++;
    entries_.emplace(Key{deadline, identifier}, Entry{std::max(leeway, Duration::zero()), std::move(callback)});
    deadlines_.emplace(identifier, deadline);
    wake_.notify_one();
    return identifier;
}

void DeadlineScheduler::cancel(uint64_t identifier) {
    Task released;
    {
        std::lock_guard lock(mutex_);
        auto found = deadlines_.find(identifier);
        if (found == deadlines_.end()) return;
        auto entry = entries_.find(Key{found->second, identifier});
        if (entry != entries_.end()) {
            released = std::move(entry->second.callback);
            entries_.erase(entry);
        }
        deadlines_.erase(found);
    }
    // The callback's captures are released outside the lock: their destructors may schedule.
}

void DeadlineScheduler::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (entries_.empty()) {
            wake_.wait(lock);
            continue;
        }
        // Sleep until the latest deadline that still lies inside every earlier entry's
        // leeway window, so entries close together are handed out in one wake-up.
        TimePoint latestAllowed = TimePoint::max();
        TimePoint wakeAt = entries_.begin()->first.first;
        for (const auto& [key, entry] : entries_) {
            if (key.first > latestAllowed) break;
            wakeAt = key.first;
            const TimePoint windowEnd =
                (TimePoint::max() - key.first) > entry.leeway ? key.first + entry.leeway : TimePoint::max();
            latestAllowed = std::min(latestAllowed, windowEnd);
        }
        const TimePoint now = Clock::now();
        if (now < wakeAt) {
            wake_.wait_until(lock, wakeAt);
            continue;
        }
        std::vector<Task> due;
        while (!entries_.empty() && entries_.begin()->first.first <= now) {
            auto first = entries_.begin();
            deadlines_.erase(first->first.second);
            due.push_back(std::move(first->second.callback));
            entries_.erase(first);
        }
        lock.unlock();
        for (auto& callback : due) {
            callback();
            callback = nullptr;
        }
        due.clear();
        lock.lock();
    }
}

}  // namespace platform
