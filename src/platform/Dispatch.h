#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

using Task = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// A queue of tasks. Serial queues run one task at a time on a worker thread of their
// own, in submission order. The main queue is drained by the main run loop. The utility
// queue is concurrent (a small pool of threads).
// A serial queue released with tasks pending still runs them, then its worker exits;
// delayed tasks keep their queue alive until they have run.
class DispatchQueue {
public:
    static std::shared_ptr<DispatchQueue> serial(std::string label);
    static std::shared_ptr<DispatchQueue> main();
    static std::shared_ptr<DispatchQueue> utility();

    virtual ~DispatchQueue() = default;
    virtual const std::string& label() const = 0;
    virtual void async(Task task) = 0;
    // Runs the task on the queue and returns after it has run. Must not be called from
    // the queue itself (a serial queue would deadlock); the main queue run from the main
    // thread runs the task inline.
    virtual void sync(Task task) = 0;
    // On the main queue the delay is measured on the main run loop's clock, so a test's
    // manual clock drives it.
    virtual void asyncAfter(Duration delay, Task task) = 0;
    // True when called from a task running on this queue.
    virtual bool isCurrent() const = 0;

    // Runs the task on the queue at a steady-clock deadline (the main queue: the main run
    // loop's clock), never before it and at most about leeway after it, so that close
    // deadlines share one wake-up. A serial queue sleeps on its deadlines itself, so a
    // timer costs no other thread. Until the task starts, cancelAsyncAt() drops it.
    virtual uint64_t asyncAt(std::chrono::steady_clock::time_point deadline, Duration leeway, Task task) = 0;
    virtual void cancelAsyncAt(uint64_t identifier) = 0;

    // Calls the handler on the queue while the descriptor is ready for `events` (poll
    // flags; the handler gets what poll reported), until unwatch() returns. A serial
    // queue waits for its descriptors in the same sleep as for its tasks and deadlines,
    // so I/O on it needs no thread of its own. Absent where the queue cannot watch.
    // A watch that does not wake the queue is looked at only when the worker wakes for
    // something else (a task, a deadline). Its handler then runs first, and before a
    // deadline so does what it posts: for a reply that nobody needs before the queue's
    // next tick or deadline.
    using ReadinessHandler = std::function<void(short revents)>;
    enum class WatchWake { atOnce, withOtherWork };
    virtual bool canWatchDescriptors() const { return false; }
    virtual std::optional<uint64_t> watch(int fd, short events, ReadinessHandler handler,
                                          WatchWake wake = WatchWake::atOnce);
    virtual void changeWatch(uint64_t identifier, short events, WatchWake wake = WatchWake::atOnce);
    virtual void unwatch(uint64_t identifier);
};

// A repeating timer source that fires on a queue. Ticks that come due while the
// handler is queued or running are merged into one later firing, never piled up.
// Releasing the last reference cancels it. An interval of zero makes it fire once.
class DispatchTimer {
public:
    static std::shared_ptr<DispatchTimer> make(std::shared_ptr<DispatchQueue> queue);

    virtual ~DispatchTimer() = default;
    // First firing after firstDelay, then every interval. leeway is how late a firing may
    // come to save wake-ups.
    virtual void schedule(Duration firstDelay, Duration interval, Duration leeway) = 0;
    virtual void setEventHandler(Task handler) = 0;
    virtual void resume() = 0;
    // No handler starts after cancel() returns; a running one finishes.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

class Semaphore {
public:
    explicit Semaphore(long value = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void signal();
    void wait();
    // True when signalled before the timeout ran out.
    bool waitFor(Duration timeout);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
