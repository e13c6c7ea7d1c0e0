#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Dispatch.h"

namespace platform {

class Timer;

// What runs the main loop when a toolkit owns the thread (the desktop's GLib main
// context). wake() may be called from any thread whenever the loop may have new work.
class RunLoopDriver {
public:
    virtual ~RunLoopDriver() = default;
    virtual void run() = 0;
    virtual void stop() = 0;
    virtual void wake() = 0;
};

// The main thread's loop: it runs tasks posted to the main queue and the main-thread
// timers. The headless backend runs it on its own; tests drive it by hand and may
// replace its clock with a manual one.
class RunLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static RunLoop& main();

    TimePoint now() const;
    // Manual clock for tests: time only moves through advance().
    void useManualClock(bool manual);
    bool usesManualClock() const;
    // Moves the manual clock forward in steps, firing timers that come due on the way
    // (in deadline order) and running posted tasks.
    void advance(Duration by);

    void perform(Task task);
    // A timer on this loop. The handler gets the timer (it may invalidate it).
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, std::function<void(Timer&)> handler);

    // Runs until stop(). Called by the application on the main thread.
    void run();
    void stop();
    // Runs posted tasks and due timers until nothing is ready.
    void runPending();
    // Runs the loop until the predicate holds or the real-time timeout passes; true if
    // it holds. For tests.
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

    // Hands run(), stop() and wake-ups to a driver (nullptr: the loop's own). Set before run().
    void setDriver(RunLoopDriver* driver);
    // For a driver: runs the tasks present on entry (not the ones they post) and the
    // timers due now, once each.
    void dispatchPending();
    // For a driver: whether tasks wait, and the earliest timer date (absent: none).
    bool hasPendingTasks() const;
    std::optional<TimePoint> nextTimerDate() const;

    // The main thread is the thread that first touched the run loop (or called run()).
    bool isMainThread() const;

    struct Impl;

private:
    RunLoop();
    std::unique_ptr<Impl> impl_;
};

class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
    virtual Duration interval() const = 0;
    virtual RunLoop::TimePoint fireDate() const = 0;
};

}  // namespace platform
