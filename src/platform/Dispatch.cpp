#include "platform/Dispatch.h"

#include <pthread.h>

#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/DeadlineScheduler.h"
#include "platform/DispatchShared.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace platform {

namespace dispatch {

thread_local const void* currentQueue = nullptr;

void nameThread(const std::string& label) {
    // The kernel keeps at most 15 characters.
    const std::string shortName = label.substr(label.size() > 15 ? label.size() - 15 : 0);
    pthread_setname_np(pthread_self(), shortName.c_str());
}

void runGuarded(const std::string& label, Task& task) {
    try {
        task();
    } catch (const std::exception& exception) {
        log("[Tidemark] A task on " + label + " failed: " + exception.what());
    } catch (...) {
        log("[Tidemark] A task on " + label + " failed");
    }
}

}  // namespace dispatch

namespace {

using namespace dispatch;

class MainQueue final : public DispatchQueue {
public:
    const std::string& label() const override { return label_; }

    void async(Task task) override { RunLoop::main().perform(std::move(task)); }

    void sync(Task task) override {
        if (RunLoop::main().isMainThread()) {
            task();
            return;
        }
        postAndWait(std::move(task), [](Task wrapped) { RunLoop::main().perform(std::move(wrapped)); });
    }

    void asyncAfter(Duration delay, Task task) override {
        RunLoop::main().scheduleTimer(delay, false, [task = std::move(task)](Timer&) { task(); });
    }

    bool isCurrent() const override { return RunLoop::main().isMainThread(); }

    // The run loop's timers already share its one wake-up; the deadline is on its clock.
    uint64_t asyncAt(std::chrono::steady_clock::time_point deadline, Duration, Task task) override {
        auto& loop = RunLoop::main();
        std::lock_guard lock(mutex_);
        const uint64_t identifier = nextIdentifier_++;
        timers_[identifier] = loop.scheduleTimer(
            std::max(deadline - loop.now(), std::chrono::steady_clock::duration::zero()), false,
            [this, identifier, task = std::move(task)](Timer&) {
                {
                    std::lock_guard lock(mutex_);
                    timers_.erase(identifier);
                }
                task();
            });
        return identifier;
    }

    void cancelAsyncAt(uint64_t identifier) override {
        std::shared_ptr<Timer> timer;
        {
            std::lock_guard lock(mutex_);
            auto found = timers_.find(identifier);
            if (found == timers_.end()) return;
            timer = std::move(found->second);
            timers_.erase(found);
        }
        timer->invalidate();
    }

private:
    const std::string label_ = "main";
    std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Timer>> timers_;
    uint64_t nextIdentifier_ = 1;
};

// A concurrent pool: a few threads always, more while every thread is busy (tasks that
// block, like pipe readers, must not starve the rest); the extra ones retire when idle.
class UtilityQueue final : public DispatchQueue, public std::enable_shared_from_this<UtilityQueue> {
public:
    // One thread covers the steady work (the network tool's output every two seconds);
    // the pool grows while every thread is busy.
    static constexpr int coreThreads = 1;
    static constexpr int maximumThreads = 64;
    static constexpr auto idleRetirement = std::chrono::seconds(5);

    const std::string& label() const override { return label_; }

    void async(Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        if (static_cast<int>(tasks_.size()) > idle_ && threads_ < maximumThreads) {
            ++threads_;
            std::thread([this] { work(); }).detach();
        } else {
            ready_.notify_one();
        }
    }

    // Concurrent: the caller's thread runs the task, as if it were one of the pool's.
    void sync(Task task) override {
        CurrentQueueScope scope(this);
        task();
    }

    void asyncAfter(Duration delay, Task task) override {
        DeadlineScheduler::shared().schedule(
            deadlineAfter(DeadlineScheduler::Clock::now(), delay), Duration::zero(),
            [self = shared_from_this(), task = std::move(task)]() mutable { self->async(std::move(task)); });
    }

    bool isCurrent() const override { return currentQueue == this; }

    uint64_t asyncAt(std::chrono::steady_clock::time_point deadline, Duration leeway, Task task) override {
        return DeadlineScheduler::shared().schedule(
            deadline, leeway, [self = shared_from_this(), task = std::move(task)]() mutable { self->async(std::move(task)); });
    }

    void cancelAsyncAt(uint64_t identifier) override { DeadlineScheduler::shared().cancel(identifier); }

private:
    void work() {
        nameThread(label_);
        CurrentQueueScope scope(this);
        std::unique_lock lock(mutex_);
        for (;;) {
            while (tasks_.empty()) {
                ++idle_;
                // A core thread sleeps until there is work; only an extra one keeps a clock
                // to retire by.
                bool woke = true;
                if (threads_ > coreThreads) {
                    woke = ready_.wait_for(lock, idleRetirement, [&] { return !tasks_.empty(); });
                } else {
                    ready_.wait(lock, [&] { return !tasks_.empty(); });
                }
                --idle_;
                if (!woke && threads_ > coreThreads) {
                    --threads_;
                    return;
                }
            }
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            runGuarded(label_, task);
            task = nullptr;
            lock.lock();
        }
    }

    const std::string label_ = "utility";
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> tasks_;
    int threads_ = 0;
    int idle_ = 0;
};
}  // namespace

std::optional<uint64_t> DispatchQueue::watch(int, short, ReadinessHandler, WatchWake) { return std::nullopt; }
void DispatchQueue::changeWatch(uint64_t, short, WatchWake) {}
void DispatchQueue::unwatch(uint64_t) {}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    // Never destroyed: tasks may be posted while static destructors run.
    static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::utility() {
    static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<UtilityQueue>());
    return *queue;
}

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable signalled;
    long value = 0;
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }

Semaphore::~Semaphore() = default;

void Semaphore::signal() {
    std::lock_guard lock(state_->mutex);
    ++state_->value;
    state_->signalled.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(state_->mutex);
    state_->signalled.wait(lock, [&] { return state_->value > 0; });
    --state_->value;
}

bool Semaphore::waitFor(Duration timeout) {
    const auto deadline = deadlineAfter(std::chrono::steady_clock::now(), timeout);
    std::unique_lock lock(state_->mutex);
    if (!state_->signalled.wait_until(lock, deadline, [&] { return state_->value > 0; })) return false;
    --state_->value;
    return true;
}

}  // namespace platform
