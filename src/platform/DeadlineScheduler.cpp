#include "platform/DeadlineScheduler.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>

namespace platform {

uint64_t DeadlineSet::add(TimePoint deadline, Duration leeway, Task callback) {
    const uint64_t identifier = nextIdentifier_++;
    entries_.emplace(Key{deadline, identifier}, Entry{std::max(leeway, Duration::zero()), std::move(callback)});
    deadlines_.emplace(identifier, deadline);
    return identifier;
}

Task DeadlineSet::remove(uint64_t identifier) {
    auto found = deadlines_.find(identifier);
    if (found == deadlines_.end()) return nullptr;
    Task released;
    auto entry = entries_.find(Key{found->second, identifier});
    if (entry != entries_.end()) {
        released = std::move(entry->second.callback);
        entries_.erase(entry);
    }
    deadlines_.erase(found);
    return released;
}

std::optional<DeadlineSet::Wake> DeadlineSet::nextWake() const {
    if (entries_.empty()) return std::nullopt;
    TimePoint latestAllowed = TimePoint::max();
    TimePoint wakeAt = entries_.begin()->first.first;
    for (const auto& [key, entry] : entries_) {
        if (key.first > latestAllowed) break;
        wakeAt = key.first;
        const TimePoint windowEnd =
            (TimePoint::max() - key.first) > entry.leeway ? key.first + entry.leeway : TimePoint::max();
        latestAllowed = std::min(latestAllowed, windowEnd);
    }
    return Wake{wakeAt, latestAllowed - wakeAt};
}

std::vector<Task> DeadlineSet::takeDue(TimePoint now) {
    std::vector<Task> due;
    while (!entries_.empty() && entries_.begin()->first.first <= now) {
        auto first = entries_.begin();
        deadlines_.erase(first->first.second);
        due.push_back(std::move(first->second.callback));
        entries_.erase(first);
    }
    return due;
}

void setTimerSlack(Duration slack) {
    // The kernel's default for a thread is 50 µs; 0 would mean "back to the default".
    static constexpr Duration defaultSlack = std::chrono::microseconds(50);
    static constexpr Duration largestSlack = std::chrono::seconds(1);
    thread_local Duration current = defaultSlack;
    const Duration wanted = std::clamp(slack, defaultSlack, largestSlack);
    if (wanted == current) return;
    if (prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(wanted.count()), 0, 0, 0) == 0) current = wanted;
}

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
    const uint64_t identifier = entries_.add(deadline, leeway, std::move(callback));
    wake_.notify_one();
    return identifier;
}

void DeadlineScheduler::cancel(uint64_t identifier) {
    Task released;
    {
        std::lock_guard lock(mutex_);
        released = entries_.remove(identifier);
    }
    // The callback's captures are released outside the lock: their destructors may schedule.
}

void DeadlineScheduler::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto wake = entries_.nextWake();
        if (!wake) {
            wake_.wait(lock);
            continue;
        }
        const TimePoint now = Clock::now();
        if (now < wake->at) {
            setTimerSlack(wake->slack);
            wake_.wait_until(lock, wake->at);
            continue;
        }
        std::vector<Task> due = entries_.takeDue(now);
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
