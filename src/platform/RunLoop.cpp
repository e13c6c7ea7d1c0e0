#include "platform/RunLoop.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/DeadlineScheduler.h"

namespace platform {
namespace {

// A repeating timer with a non-positive interval would fire without end.
constexpr Duration minimumRepeatInterval = std::chrono::microseconds(100);

using TimePoint = RunLoop::TimePoint;

class LoopTimer;

}  // namespace

struct RunLoop::Impl {
    mutable std::mutex mutex;
    std::condition_variable wake;
    uint64_t wakeCount = 0;  // bumped by everything that may give the loop new work
    std::deque<Task> tasks;
    std::vector<std::shared_ptr<LoopTimer>> timers;
    uint64_t nextSequence = 0;
    bool manualClock = false;
    TimePoint manualNow{};
    bool stopRequested = false;
    std::atomic<std::thread::id> mainThread{};
    std::atomic<RunLoopDriver*> driver{nullptr};

    TimePoint nowLocked() const { return manualClock ? manualNow : Clock::now(); }
    void notifyLocked() {
        ++wakeCount;
        wake.notify_all();
        if (auto* d = driver.load()) d->wake();
    }
    void remove(const LoopTimer* timer);

    bool runOneTask();
    bool fireOneTimer(TimePoint limit);
    void waitForWork(std::optional<TimePoint> realDeadline, bool endsOnStop);
};

namespace {

class LoopTimer final : public Timer {
public:
    LoopTimer(RunLoop::Impl& loop, Duration interval, bool repeats, TimePoint fireDate, uint64_t sequence,
              std::function<void(Timer&)> handler)
        : handler_(std::make_shared<std::function<void(Timer&)>>(std::move(handler))),
          loop_(loop),
          interval_(interval),
          repeats_(repeats),
          sequence_(sequence),
          fireDate_(fireDate.time_since_epoch().count()) {}

    void invalidate() override {
        if (!valid_.exchange(false)) return;
        std::shared_ptr<std::function<void(Timer&)>> released;
        {
            std::lock_guard lock(loop_.mutex);
            released = std::move(handler_);
            loop_.remove(this);
        }
        // The handler's captures die outside the loop's lock.
    }
    bool isValid() const override { return valid_.load(); }
    Duration interval() const override { return interval_; }
    RunLoop::TimePoint fireDate() const override {
        return RunLoop::TimePoint(RunLoop::TimePoint::duration(fireDate_.load()));
    }

    void setFireDate(TimePoint date) { fireDate_.store(date.time_since_epoch().count()); }
    bool repeats() const { return repeats_; }
    uint64_t sequence() const { return sequence_; }

    // Guarded by the loop's mutex.
    std::shared_ptr<std::function<void(Timer&)>> handler_;
    bool firing_ = false;

private:
    RunLoop::Impl& loop_;
    const Duration interval_;
    const bool repeats_;
    const uint64_t sequence_;
    std::atomic<bool> valid_{true};
    std::atomic<TimePoint::rep> fireDate_;
};

}  // namespace

void RunLoop::Impl::remove(const LoopTimer* timer) {
    std::erase_if(timers, [timer](const std::shared_ptr<LoopTimer>& entry) { return entry.get() == timer; });
}

bool RunLoop::Impl::runOneTask() {
    Task task;
    {
        std::lock_guard lock(mutex);
        if (tasks.empty()) return false;
        task = std::move(tasks.front());
        tasks.pop_front();
    }
    task();
    return true;
}

// Fires the earliest timer due at or before `limit` (in deadline order, ties in the
// order they were scheduled). On the manual clock, time moves to its fire date first.
bool RunLoop::Impl::fireOneTimer(TimePoint limit) {
    std::shared_ptr<LoopTimer> timer;
    std::shared_ptr<std::function<void(Timer&)>> handler;
    TimePoint fireDate;
    {
        std::lock_guard lock(mutex);
        for (const auto& candidate : timers) {
            if (candidate->firing_ || !candidate->isValid() || candidate->fireDate() > limit) continue;
            if (!timer || candidate->fireDate() < timer->fireDate() ||
                (candidate->fireDate() == timer->fireDate() && candidate->sequence() < timer->sequence())) {
                timer = candidate;
            }
        }
        if (!timer) return false;
        fireDate = timer->fireDate();
        if (manualClock) manualNow = std::max(manualNow, fireDate);
        handler = timer->handler_;
        timer->firing_ = true;
        if (!timer->repeats()) remove(timer.get());
    }
    if (handler && *handler) (*handler)(*timer);
    handler.reset();
    if (!timer->repeats()) {
        timer->invalidate();
        return true;
    }
    std::lock_guard lock(mutex);
    timer->firing_ = false;
    if (!timer->isValid()) return true;
    // Keep the phase: the next multiple of the interval after now; missed firings are skipped.
    const TimePoint now = nowLocked();
    TimePoint next = deadlineAfter(fireDate, timer->interval());
    if (next <= now) next = deadlineAfter(fireDate, timer->interval() * ((now - fireDate) / timer->interval() + 1));
    timer->setFireDate(next);
    return true;
}

void RunLoop::Impl::waitForWork(std::optional<TimePoint> realDeadline, bool endsOnStop) {
    std::unique_lock lock(mutex);
    if (!tasks.empty() || (endsOnStop && stopRequested)) return;
    std::optional<TimePoint> until = realDeadline;
    if (!manualClock) {
        for (const auto& timer : timers) {
            if (timer->firing_ || !timer->isValid()) continue;
            if (!until || timer->fireDate() < *until) until = timer->fireDate();
        }
    }
    const uint64_t seen = wakeCount;
    const auto woken = [&] { return wakeCount != seen; };
    if (until) {
        wake.wait_until(lock, *until, woken);
    } else {
        wake.wait(lock, woken);
    }
}

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}

RunLoop& RunLoop::main() {
    // Never destroyed: other threads may post to it while static destructors run.
    static RunLoop* loop = [] {
        auto* created = new RunLoop();
        created->impl_->mainThread = std::this_thread::get_id();
        return created;
    }();
    return *loop;
}

RunLoop::TimePoint RunLoop::now() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->nowLocked();
}

void RunLoop::useManualClock(bool manual) {
    std::lock_guard lock(impl_->mutex);
    if (manual && !impl_->manualClock) impl_->manualNow = Clock::now();
    impl_->manualClock = manual;
    impl_->notifyLocked();
}

bool RunLoop::usesManualClock() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->manualClock;
}

void RunLoop::advance(Duration by) {
    if (!usesManualClock()) {
        runUntil([] { return false; }, std::chrono::duration_cast<std::chrono::milliseconds>(by));
        return;
    }
    const TimePoint target = deadlineAfter(now(), by);
    runPending();
    while (impl_->fireOneTimer(target)) {
        while (impl_->runOneTask()) {
        }
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->manualNow = std::max(impl_->manualNow, target);
    }
    runPending();
}

void RunLoop::perform(Task task) {
    std::lock_guard lock(impl_->mutex);
    impl_->tasks.push_back(std::move(task));
    impl_->notifyLocked();
}

std::shared_ptr<Timer> RunLoop::scheduleTimer(Duration interval, bool repeats,
                                              std::function<void(Timer&)> handler) {
    if (repeats) interval = std::max(interval, minimumRepeatInterval);
    std::lock_guard lock(impl_->mutex);
    auto timer = std::make_shared<LoopTimer>(*impl_, interval, repeats,
                                             deadlineAfter(impl_->nowLocked(), std::max(interval, Duration::zero())),
                                             impl_->nextSequence++, std::move(handler));
    impl_->timers.push_back(timer);
    impl_->notifyLocked();
    return timer;
}

void RunLoop::setDriver(RunLoopDriver* driver) { impl_->driver = driver; }

void RunLoop::dispatchPending() {
    size_t count;
    {
        std::lock_guard lock(impl_->mutex);
        count = impl_->tasks.size();
    }
    // Only what was there on entry: a task that posts itself again must not starve the
    // toolkit's own sources (redraws, input) sharing the thread.
    for (size_t i = 0; i < count && impl_->runOneTask(); ++i) {
    }
    const TimePoint limit = now();
    size_t timers;
    {
        std::lock_guard lock(impl_->mutex);
        timers = impl_->timers.size();
    }
    for (size_t i = 0; i < timers && impl_->fireOneTimer(limit); ++i) {
    }
}

bool RunLoop::hasPendingTasks() const {
    std::lock_guard lock(impl_->mutex);
    return !impl_->tasks.empty();
}

std::optional<RunLoop::TimePoint> RunLoop::nextTimerDate() const {
    std::lock_guard lock(impl_->mutex);
    std::optional<TimePoint> earliest;
    for (const auto& timer : impl_->timers) {
        if (timer->firing_ || !timer->isValid()) continue;
        if (!earliest || timer->fireDate() < *earliest) earliest = timer->fireDate();
    }
    return earliest;
}

void RunLoop::run() {
    impl_->mainThread = std::this_thread::get_id();
    if (auto* driver = impl_->driver.load()) {
        driver->run();
        return;
    }
    for (;;) {
        {
            std::lock_guard lock(impl_->mutex);
            // A stop that came before run() still ends it, so a racing stop is never lost.
            if (impl_->stopRequested) {
                impl_->stopRequested = false;
                return;
            }
        }
        if (impl_->runOneTask()) continue;
        if (impl_->fireOneTimer(now())) continue;
        impl_->waitForWork(std::nullopt, true);
    }
}

void RunLoop::stop() {
    if (auto* driver = impl_->driver.load()) {
        driver->stop();
        return;
    }
    std::lock_guard lock(impl_->mutex);
    impl_->stopRequested = true;
    impl_->notifyLocked();
}

void RunLoop::runPending() {
    for (;;) {
        bool didWork = false;
        while (impl_->runOneTask()) didWork = true;
        if (impl_->fireOneTimer(now())) didWork = true;
        if (!didWork) return;
    }
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    // Conditions set by other threads without posting are noticed by polling.
    constexpr auto pollInterval = std::chrono::milliseconds(5);
    const TimePoint deadline = deadlineAfter(Clock::now(), timeout);
    for (;;) {
        if (predicate()) return true;
        if (impl_->runOneTask()) continue;
        if (impl_->fireOneTimer(now())) continue;
        const TimePoint realNow = Clock::now();
        if (realNow >= deadline) return predicate();
        impl_->waitForWork(std::min(deadline, realNow + pollInterval), false);
    }
}

bool RunLoop::isMainThread() const { return impl_->mainThread.load() == std::this_thread::get_id(); }

}  // namespace platform
