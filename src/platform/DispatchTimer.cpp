#include <mutex>
#include <optional>

#include "platform/DeadlineScheduler.h"
#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

namespace platform {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

// The timer's bookkeeping, shared with the tick callbacks and the queued handler task.
//
// Deadlines are the queue's own (asyncAt), so a tick runs the handler where it fires:
// no other thread wakes for it. Ticks that come due while the handler waits in the queue
// are merged into it; one that comes due while it runs is handed over once right after it
// returns. After each hand-over the next deadline is the next whole interval after now,
// so missed ticks are skipped rather than replayed.
class TimerState : public std::enable_shared_from_this<TimerState> {
public:
    explicit TimerState(std::shared_ptr<DispatchQueue> queue)
        : queue_(std::move(queue)), onMainLoop_(queue_ == DispatchQueue::main()) {}

    void schedule(Duration firstDelay, Duration interval, Duration leeway) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        disarm();
        firstDeadline_ = deadlineAfter(now(), std::max(firstDelay, Duration::zero()));
        interval_ = interval;
        leeway_ = std::max(leeway, Duration::zero());
        nextDeadline_ = firstDeadline_;
        if (resumed_ && !queued_ && !running_) arm();
    }

    void setEventHandler(Task handler) {
        std::shared_ptr<Task> previous;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            previous = std::move(handler_);
            handler_ = std::make_shared<Task>(std::move(handler));
        }
    }

    void resume() {
        std::lock_guard lock(mutex_);
        if (cancelled_ || resumed_) return;
        resumed_ = true;
        if (nextDeadline_ && !queued_ && !running_) arm();
    }

    void cancel() {
        std::shared_ptr<Task> released;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            disarm();
            released = std::move(handler_);
        }
        // The handler's captures die outside the lock (a running handler keeps its own copy).
    }

    bool isCancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    TimePoint now() const { return onMainLoop_ ? RunLoop::main().now() : std::chrono::steady_clock::now(); }

    // The first deadline after `moment` on the grid firstDeadline + k * interval; none for
    // a one-shot timer.
    std::optional<TimePoint> deadlineAfterMoment(TimePoint moment) const {
        if (interval_ <= Duration::zero()) return std::nullopt;
        if (moment < firstDeadline_) return firstDeadline_;
        const auto periods = (moment - firstDeadline_) / interval_ + 1;
        const auto offset = std::chrono::duration_cast<TimePoint::duration>(interval_ * periods);
        return deadlineAfter(firstDeadline_, offset);
    }

    void arm() {
        disarm();
        const uint64_t generation = ++generation_;
        pendingDeadline_ = queue_->asyncAt(*nextDeadline_, leeway_, [weak = weak_from_this(), generation] {
            if (auto state = weak.lock()) state->deadlineReached(generation);
        });
    }

    void disarm() {
        ++generation_;
        if (pendingDeadline_) {
            queue_->cancelAsyncAt(*pendingDeadline_);
            pendingDeadline_.reset();
        }
    }

    // Runs on the queue.
    void deadlineReached(uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || generation != generation_) return;
            pendingDeadline_.reset();
            queued_ = true;
            nextDeadline_ = deadlineAfterMoment(now());
        }
        runHandler();
    }

    void handOver(TimePoint moment) {
        queued_ = true;
        nextDeadline_ = deadlineAfterMoment(moment);
        queue_->async([self = shared_from_this()] { self->runHandler(); });
    }

    void runHandler() {
        std::shared_ptr<Task> handler;
        {
            std::lock_guard lock(mutex_);
            queued_ = false;
            if (cancelled_) return;
            const TimePoint start = now();
            if (nextDeadline_ && *nextDeadline_ <= start) nextDeadline_ = deadlineAfterMoment(start);
            running_ = true;
            handler = handler_;
        }
        if (handler && *handler) {
            try {
                (*handler)();
            } catch (...) {
                // The queue logs it; the timer keeps its schedule all the same.
                handler.reset();
                finishRun();
                throw;
            }
        }
        handler.reset();
        finishRun();
    }

    // After the handler: the next hand-over, now or at the next deadline.
    void finishRun() {
        std::lock_guard lock(mutex_);
        running_ = false;
        if (cancelled_ || !nextDeadline_) return;
        const TimePoint end = now();
        if (*nextDeadline_ <= end) {
            handOver(end);
        } else {
            arm();
        }
    }

    mutable std::mutex mutex_;
    const std::shared_ptr<DispatchQueue> queue_;
    const bool onMainLoop_;
    std::shared_ptr<Task> handler_;
    TimePoint firstDeadline_{};
    Duration interval_{};
    Duration leeway_{};
    std::optional<TimePoint> nextDeadline_;  // none: not scheduled, or a one-shot that fired
    bool resumed_ = false;
    bool cancelled_ = false;
    bool queued_ = false;
    bool running_ = false;
    uint64_t generation_ = 0;
    std::optional<uint64_t> pendingDeadline_;
};

// Releasing the last reference cancels the timer.
class QueueTimer final : public DispatchTimer {
public:
    explicit QueueTimer(std::shared_ptr<DispatchQueue> queue) : state_(std::make_shared<TimerState>(std::move(queue))) {}
    ~QueueTimer() override { state_->cancel(); }

    void schedule(Duration firstDelay, Duration interval, Duration leeway) override {
        state_->schedule(firstDelay, interval, leeway);
    }
    void setEventHandler(Task handler) override { state_->setEventHandler(std::move(handler)); }
    void resume() override { state_->resume(); }
    void cancel() override { state_->cancel(); }
    bool isCancelled() const override { return state_->isCancelled(); }

private:
    std::shared_ptr<TimerState> state_;
};

}  // namespace

std::shared_ptr<DispatchTimer> DispatchTimer::make(std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<QueueTimer>(std::move(queue));
}

}  // namespace platform
