#pragma once
// What the kinds of queue share; for their sources only.
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/Dispatch.h"

namespace platform::dispatch {

// The queue whose task the current thread is running (its state object identifies it).
extern thread_local const void* currentQueue;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const void* queue) : previous_(currentQueue) { currentQueue = queue; }
    ~CurrentQueueScope() { currentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const void* previous_;
};

void nameThread(const std::string& label);
// An exception leaving a task would end the whole process: it ends only that task.
void runGuarded(const std::string& label, Task& task);

// Posts the task with post() and blocks until it has run.
template <typename Post>
void postAndWait(Task task, Post post) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    post([&] {
        task();
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
}

}  // namespace platform::dispatch
