// Serial queues: one worker thread each, which sleeps on its own deadlines and watched
// descriptors as well as on new tasks.
#include "platform/Dispatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DeadlineScheduler.h"
#include "platform/DispatchShared.h"

namespace platform {

namespace {

using namespace dispatch;

// Shared by a serial queue and its worker, so the worker can finish after the queue
// object is gone.
struct SerialState {
    explicit SerialState(std::string name) : label(std::move(name)) {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~SerialState() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    SerialState(const SerialState&) = delete;
    SerialState& operator=(const SerialState&) = delete;

    struct Watch {
        int fd;
        short events;
        DispatchQueue::WatchWake wake;
        std::shared_ptr<DispatchQueue::ReadinessHandler> handler;
    };

    // With the mutex held: ends the worker's sleep if it is in one.
    void wakeWorker() {
        if (!sleeping || wakePending) return;
        wakePending = true;
        if (wakeFd < 0) {
            ready.notify_one();
            return;
        }
        const uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd, &one, sizeof one);
        (void)ignored;
    }

    const std::string label;
    std::mutex mutex;
    std::deque<Task> tasks;
    // Work for later: the worker sleeps until the earliest of these instead of another
    // thread waking it, which saves a thread hop on every timer tick.
    DeadlineSet timed;
    // Descriptors the worker waits on in the same sleep.
    std::map<uint64_t, Watch> watches;
    uint64_t nextWatch = 1;
    int wakeFd = -1;
    // Without a wake-up descriptor (none was left to give) the worker sleeps on this
    // instead, and the queue watches no descriptors.
    std::condition_variable ready;
    bool sleeping = false;
    bool wakePending = false;
    bool closing = false;
};

// Runs the handler of a watch that was ready, unless it was removed meanwhile.
void runWatchHandler(SerialState& state, uint64_t identifier, short revents) {
    std::shared_ptr<DispatchQueue::ReadinessHandler> handler;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.watches.find(identifier);
        if (found == state.watches.end()) return;
        handler = found->second.handler;
    }
    (*handler)(revents);
}

// One sleep for everything the queue waits for: its wake-up descriptor (new tasks), its
// watched descriptors and its earliest deadline.
void sleepUntilSomethingIsDue(SerialState& state, std::unique_lock<std::mutex>& lock,
                              const std::optional<DeadlineSet::Wake>& wake) {
    if (state.wakeFd < 0) {
        state.sleeping = true;
        if (wake)
            state.ready.wait_until(lock, wake->at);
        else
            state.ready.wait(lock);
        state.sleeping = false;
        state.wakePending = false;
        return;
    }
    std::vector<pollfd> descriptors{{state.wakeFd, POLLIN, 0}};
    std::vector<uint64_t> identifiers{0};
    for (const auto& [identifier, watch] : state.watches) {
        if (watch.wake != DispatchQueue::WatchWake::atOnce) continue;
        descriptors.push_back({watch.fd, watch.events, 0});
        identifiers.push_back(identifier);
    }
    timespec timeout{};
    timespec* timeoutPointer = nullptr;
    if (wake) {
        const auto left = std::max(wake->at - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
        timeoutPointer = &timeout;
        setTimerSlack(wake->slack);
    }
    state.sleeping = true;
    lock.unlock();
    const int ready = ::ppoll(descriptors.data(), descriptors.size(), timeoutPointer, nullptr);
    lock.lock();
    state.sleeping = false;
    if (state.wakePending) {
        uint64_t count = 0;
        ssize_t ignored = ::read(state.wakeFd, &count, sizeof count);
        (void)ignored;
        state.wakePending = false;
    }
    if (ready <= 0) return;
    for (size_t index = 1; index < descriptors.size(); ++index) {
        if (descriptors[index].revents == 0) continue;
        state.tasks.push_back([&state, identifier = identifiers[index], revents = descriptors[index].revents] {
            runWatchHandler(state, identifier, revents);
        });
    }
}

// Runs, in place, the handlers of the watches that wait for other work and are ready now.
// In place, so that what they post runs before the deadlines that come due with this turn.
void runReadyWatchesThatWait(SerialState& state, std::unique_lock<std::mutex>& lock) {
    std::vector<pollfd> descriptors;
    std::vector<uint64_t> identifiers;
    for (const auto& [identifier, watch] : state.watches) {
        if (watch.wake != DispatchQueue::WatchWake::withOtherWork) continue;
        descriptors.push_back({watch.fd, watch.events, 0});
        identifiers.push_back(identifier);
    }
    if (descriptors.empty()) return;
    lock.unlock();
    if (::poll(descriptors.data(), descriptors.size(), 0) > 0) {
        for (size_t index = 0; index < descriptors.size(); ++index)
            if (descriptors[index].revents != 0) runWatchHandler(state, identifiers[index], descriptors[index].revents);
    }
    lock.lock();
}

void runSerialWorker(std::shared_ptr<SerialState> state) {
    nameThread(state->label);
    CurrentQueueScope scope(state.get());
    std::unique_lock lock(state->mutex);
    bool woke = false;
    for (;;) {
        // Due work joins the line on every turn, not only when it is empty: a queue that
        // never runs dry (a task that posts itself again) must not starve its deadlines.
        using std::chrono::steady_clock;
        const auto now = state->timed.empty() ? steady_clock::time_point{} : steady_clock::now();
        const bool due = state->timed.hasDue(now);
        if (due || woke) runReadyWatchesThatWait(*state, lock);
        woke = false;
        if (due) {
            for (auto& task : state->timed.takeDue(now)) state->tasks.push_back(std::move(task));
        }
        if (state->tasks.empty()) {
            const auto wake = state->timed.nextWake();
            if (!wake && state->closing) return;  // closing and drained
            sleepUntilSomethingIsDue(*state, lock, wake);
            woke = true;
            continue;
        }
        Task task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        runGuarded(state->label, task);
        task = nullptr;  // captures die here, outside the lock
        lock.lock();
    }
}

// Released with tasks still pending (delayed ones too), the queue lets its worker finish
// them and then the worker exits by itself: releasing never blocks and never drops work.
class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label) : state_(std::make_shared<SerialState>(std::move(label))) {
        std::thread(runSerialWorker, state_).detach();
    }

    ~SerialQueue() override {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        state_->wakeWorker();
    }

    const std::string& label() const override { return state_->label; }

    void async(Task task) override {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        state_->wakeWorker();
    }

    void sync(Task task) override {
        // From the queue itself waiting would never end; running in place is the only
        // way forward.
        if (isCurrent()) {
            task();
            return;
        }
        postAndWait(std::move(task), [this](Task wrapped) { async(std::move(wrapped)); });
    }

    void asyncAfter(Duration delay, Task task) override {
        asyncAt(deadlineAfter(std::chrono::steady_clock::now(), delay), Duration::zero(), std::move(task));
    }

    uint64_t asyncAt(std::chrono::steady_clock::time_point deadline, Duration leeway, Task task) override {
        std::lock_guard lock(state_->mutex);
        const uint64_t identifier = state_->timed.add(deadline, leeway, std::move(task));
        // From the worker itself (a timer re-arming after its handler) there is no sleep to
        // shorten, and no system call is made.
        state_->wakeWorker();
        return identifier;
    }

    void cancelAsyncAt(uint64_t identifier) override {
        Task released;
        {
            std::lock_guard lock(state_->mutex);
            released = state_->timed.remove(identifier);
        }
        // Its captures die outside the lock: their destructors may post to this queue.
    }

    bool isCurrent() const override { return currentQueue == state_.get(); }

    bool canWatchDescriptors() const override { return state_->wakeFd >= 0; }

    std::optional<uint64_t> watch(int fd, short events, ReadinessHandler handler, WatchWake wake) override {
        if (state_->wakeFd < 0) return std::nullopt;
        std::lock_guard lock(state_->mutex);
        const uint64_t identifier = state_->nextWatch++;
        state_->watches.emplace(identifier, SerialState::Watch{fd, events, wake,
                                                               std::make_shared<ReadinessHandler>(std::move(handler))});
        // A sleep in progress must start watching it too; one that waits for other work
        // does not change that sleep.
        if (wake == WatchWake::atOnce) state_->wakeWorker();
        return identifier;
    }

    void changeWatch(uint64_t identifier, short events, WatchWake wake) override {
        std::lock_guard lock(state_->mutex);
        auto found = state_->watches.find(identifier);
        if (found == state_->watches.end()) return;
        auto& watch = found->second;
        if (watch.events == events && watch.wake == wake) return;
        const bool sleepChanges = watch.wake == WatchWake::atOnce || wake == WatchWake::atOnce;
        watch.events = events;
        watch.wake = wake;
        if (sleepChanges) state_->wakeWorker();
    }

    void unwatch(uint64_t identifier) override {
        std::shared_ptr<ReadinessHandler> released;
        {
            std::lock_guard lock(state_->mutex);
            auto found = state_->watches.find(identifier);
            if (found == state_->watches.end()) return;
            released = std::move(found->second.handler);
            state_->watches.erase(found);
            state_->wakeWorker();
        }
    }

private:
    std::shared_ptr<SerialState> state_;
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

}  // namespace platform
