#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::DispatchTimer;
using platform::Semaphore;
using Clock = std::chrono::steady_clock;

namespace {

// Firing moments of a timer, recorded from its handler.
struct FiringLog {
    std::mutex mutex;
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;

    size_t count() {
        std::lock_guard lock(mutex);
        return starts.size();
    }
    std::vector<Clock::time_point> startTimes() {
        std::lock_guard lock(mutex);
        return starts;
    }
};

}  // namespace

TEST(DispatchQueueTests, SerialQueueKeepsOrderAndOneThreadUnderConcurrentProducers) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Serial");
    EXPECT_EQ(queue->label(), "Tidemark.Tests.Serial");
    EXPECT_FALSE(queue->isCurrent());

    constexpr int producers = 8;
    constexpr int tasksPerProducer = 400;
    // Touched only on the queue: confinement is what keeps these unlocked containers sound.
    std::vector<std::vector<int>> seen(producers);
    std::set<std::thread::id> threads;
    int running = 0;
    int overlaps = 0;
    bool alwaysCurrent = true;

    std::vector<std::thread> threadsPosting;
    for (int producer = 0; producer < producers; ++producer) {
        threadsPosting.emplace_back([&, producer] {
            for (int index = 0; index < tasksPerProducer; ++index) {
                queue->async([&, producer, index] {
                    if (++running != 1) ++overlaps;
                    seen[producer].push_back(index);
                    threads.insert(std::this_thread::get_id());
                    alwaysCurrent = alwaysCurrent && queue->isCurrent();
                    --running;
                });
            }
        });
    }
    for (auto& thread : threadsPosting) thread.join();
    queue->sync([] {});

    EXPECT_EQ(overlaps, 0);
    EXPECT_TRUE(alwaysCurrent);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    for (int producer = 0; producer < producers; ++producer) {
        ASSERT_EQ(seen[producer].size(), static_cast<size_t>(tasksPerProducer));
        for (int index = 0; index < tasksPerProducer; ++index) ASSERT_EQ(seen[producer][index], index);
    }
}

TEST(DispatchQueueTests, SyncRunsOnTheQueueAndReturnsAfterTheTask) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Sync");
    std::atomic<bool> slowDone{false};
    queue->async([&] {
        std::this_thread::sleep_for(50ms);
        slowDone = true;
    });
    bool ranOnQueue = false;
    bool sawEarlierTask = false;
    queue->sync([&] {
        ranOnQueue = queue->isCurrent();
        sawEarlierTask = slowDone.load();
    });
    EXPECT_TRUE(ranOnQueue);
    EXPECT_TRUE(sawEarlierTask);  // FIFO: sync waits behind what was queued first

    // Many threads at once, each getting its own result back.
    std::vector<std::thread> callers;
    std::atomic<int> correct{0};
    for (int caller = 0; caller < 6; ++caller) {
        callers.emplace_back([&, caller] {
            int result = -1;
            queue->sync([&] { result = caller * 2; });
            if (result == caller * 2) ++correct;
        });
    }
    for (auto& thread : callers) thread.join();
    EXPECT_EQ(correct.load(), 6);

    // From the queue itself it runs in place instead of waiting forever.
    bool nested = false;
    queue->sync([&] { queue->sync([&] { nested = queue->isCurrent(); }); });
    EXPECT_TRUE(nested);

    bool onUtility = false;
    DispatchQueue::utility()->sync([&] { onUtility = DispatchQueue::utility()->isCurrent(); });
    EXPECT_TRUE(onUtility);
    EXPECT_FALSE(DispatchQueue::utility()->isCurrent());
}

TEST(DispatchQueueTests, AsyncAfterRunsInDeadlineOrderNeverEarly) {
    for (const auto& queue : {DispatchQueue::serial("Tidemark.Tests.After"), DispatchQueue::utility()}) {
        std::mutex mutex;
        std::vector<std::pair<int, Clock::duration>> fired;
        Semaphore allFired;
        const auto start = Clock::now();
        for (int delay : {150, 30, 90, 60}) {
            queue->asyncAfter(std::chrono::milliseconds(delay), [&, delay] {
                std::lock_guard lock(mutex);
                fired.emplace_back(delay, Clock::now() - start);
                if (fired.size() == 4) allFired.signal();
            });
        }
        ASSERT_TRUE(allFired.waitFor(5s)) << queue->label();
        std::lock_guard lock(mutex);
        std::vector<int> order;
        for (const auto& [delay, elapsed] : fired) {
            order.push_back(delay);
            EXPECT_GE(elapsed, std::chrono::milliseconds(delay)) << queue->label();
            EXPECT_LT(elapsed, std::chrono::milliseconds(delay) + 1s) << queue->label();
        }
        EXPECT_EQ(order, (std::vector<int>{30, 60, 90, 150})) << queue->label();
    }
}

TEST(DispatchQueueTests, ReleasedQueueFinishesItsPendingTasks) {
    std::atomic<int> ran{0};
    Semaphore finished;
    {
        auto queue = DispatchQueue::serial("Tidemark.Tests.Released");
        queue->async([] { std::this_thread::sleep_for(50ms); });
        for (int index = 0; index < 100; ++index) {
            queue->async([&, index] {
                if (++ran == 100 && index == 99) finished.signal();
            });
        }
    }
    ASSERT_TRUE(finished.waitFor(5s));
    EXPECT_EQ(ran.load(), 100);

    // The last reference may die in the queue's own task (on its own worker).
    Semaphore lastTaskDone;
    {
        auto queue = DispatchQueue::serial("Tidemark.Tests.SelfRelease");
        auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(queue);
        queue->async([holder, &lastTaskDone] {
            holder->reset();
            lastTaskDone.signal();
        });
    }
    EXPECT_TRUE(lastTaskDone.waitFor(5s));

    // A delayed task keeps its queue alive until it has run.
    Semaphore delayedRan;
    DispatchQueue::serial("Tidemark.Tests.Delayed")->asyncAfter(30ms, [&] { delayedRan.signal(); });
    EXPECT_TRUE(delayedRan.waitFor(5s));
}

TEST(DispatchQueueTests, UtilityQueueRunsBlockingTasksConcurrently) {
    // Every task waits until all have started: this passes only if they all run at once,
    // also when there are more of them than the pool keeps around.
    constexpr int tasks = 10;
    std::atomic<int> started{0};
    std::atomic<int> sawAll{0};
    std::atomic<bool> allCurrent{true};
    Semaphore done;
    for (int index = 0; index < tasks; ++index) {
        DispatchQueue::utility()->async([&] {
            ++started;
            if (!DispatchQueue::utility()->isCurrent()) allCurrent = false;
            const auto deadline = Clock::now() + 5s;
            while (started.load() < tasks && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
            if (started.load() == tasks) ++sawAll;
            done.signal();
        });
    }
    for (int index = 0; index < tasks; ++index) ASSERT_TRUE(done.waitFor(10s));
    EXPECT_EQ(sawAll.load(), tasks);
    EXPECT_TRUE(allCurrent.load());
}

TEST(DispatchTimerTests, FirstDeadlineThenEveryIntervalNeverEarly) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Timer");
    FiringLog log;
    bool onQueue = true;
    auto timer = DispatchTimer::make(queue);
    const auto start = Clock::now();
    timer->schedule(120ms, 60ms, 10ms);
    timer->setEventHandler([&] {
        onQueue = onQueue && queue->isCurrent();
        std::lock_guard lock(log.mutex);
        log.starts.push_back(Clock::now());
    });
    // Nothing fires before resume().
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(log.count(), 0u);
    timer->resume();
    ASSERT_TRUE(testsupport::eventually([&] { return log.count() >= 5; }, 5s));
    timer->cancel();
    queue->sync([] {});
    const auto starts = log.startTimes();
    // The first deadline was fixed by schedule(), so it has already passed at resume.
    EXPECT_GE(starts[0] - start, 150ms);
    EXPECT_LT(starts[0] - start, 150ms + 500ms);
    for (size_t index = 1; index < 5; ++index) {
        // Deadlines sit on the grid start + 120ms + k * 60ms; the first one came at resume.
        EXPECT_GE(starts[index] - start, 120ms + 60ms * static_cast<int>(index)) << index;
        EXPECT_LT(starts[index] - start, 120ms + 60ms * static_cast<int>(index + 1) + 500ms) << index;
    }
    EXPECT_TRUE(onQueue);
}

TEST(DispatchTimerTests, TicksMissedWhileTheHandlerRunsAreMergedIntoOneFiring) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Merge");
    FiringLog log;
    auto timer = DispatchTimer::make(queue);
    const auto start = Clock::now();
    timer->schedule(100ms, 100ms, 0ms);
    timer->setEventHandler([&] {
        const auto now = Clock::now();
        size_t index;
        {
            std::lock_guard lock(log.mutex);
            log.starts.push_back(now);
            index = log.starts.size();
        }
        if (index == 1) std::this_thread::sleep_for(250ms);  // 2.5 intervals
        std::lock_guard lock(log.mutex);
        log.ends.push_back(Clock::now());
    });
    timer->resume();
    std::this_thread::sleep_for(1050ms);
    timer->cancel();
    queue->sync([] {});

    std::lock_guard lock(log.mutex);
    const auto& starts = log.starts;
    // Due at 100, 200 (missed), 300 (missed), then 400 ... 1000: nine at most, never a pile-up.
    EXPECT_LE(starts.size(), 9u);
    ASSERT_GE(starts.size(), 4u);
    // The ticks missed while the handler ran come once, right after it returned ...
    EXPECT_LT(starts[1] - log.ends[0], 50ms);
    // ... and the next one waits for the next whole interval instead of replaying the other.
    EXPECT_GE(starts[2] - start, 400ms);
    EXPECT_GE(starts[3] - start, 500ms);
}

TEST(DispatchTimerTests, TicksDueWhileTheHandlerWaitsInTheQueueAreMergedIntoIt) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.MergeQueued");
    FiringLog log;
    auto timer = DispatchTimer::make(queue);
    const auto start = Clock::now();
    timer->schedule(50ms, 50ms, 0ms);
    timer->setEventHandler([&] {
        std::lock_guard lock(log.mutex);
        log.starts.push_back(Clock::now());
    });
    timer->resume();
    // Occupies the queue while the deadlines at 50, 100, 150 and 200 ms pass.
    queue->async([] { std::this_thread::sleep_for(230ms); });
    std::this_thread::sleep_for(420ms);
    // A slow machine (or a sanitizer) may be late with the second firing: wait for it.
    testsupport::eventually([&] { return log.startTimes().size() >= 2; }, 3s);
    timer->cancel();
    queue->sync([] {});
    const auto starts = log.startTimes();
    // One firing for all four (a pile-up would make eight by 420 ms), then the grid after it.
    EXPECT_LE(std::count_if(starts.begin(), starts.end(), [&](auto t) { return t - start < 420ms; }), 5);
    ASSERT_GE(starts.size(), 2u);
    EXPECT_GE(starts[0] - start, 230ms);
    EXPECT_GE(starts[1] - start, 250ms);
}

TEST(DispatchTimerTests, CancelStopsNewFiringsFromInsideAndFromAnotherThread) {
    {
        auto queue = DispatchQueue::serial("Tidemark.Tests.CancelInside");
        std::atomic<int> firings{0};
        auto timer = DispatchTimer::make(queue);
        std::weak_ptr<DispatchTimer> weakTimer = timer;
        timer->schedule(0ms, 10ms, 0ms);
        timer->setEventHandler([&firings, weakTimer] {
            if (++firings == 3) {
                if (auto self = weakTimer.lock()) self->cancel();
            }
        });
        timer->resume();
        ASSERT_TRUE(testsupport::eventually([&] { return firings.load() >= 3; }, 5s));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(firings.load(), 3);
        EXPECT_TRUE(timer->isCancelled());
    }

    // Cancel while a handler is running: it finishes, no new one starts afterwards.
    for (int round = 0; round < 10; ++round) {
        auto queue = DispatchQueue::serial("Tidemark.Tests.CancelOutside");
        std::atomic<int> starts{0};
        std::atomic<bool> inside{false};
        auto timer = DispatchTimer::make(queue);
        timer->schedule(0ms, 2ms, 0ms);
        timer->setEventHandler([&] {
            ++starts;
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + round % 3));
            inside = false;
        });
        timer->resume();
        ASSERT_TRUE(testsupport::eventually([&] { return starts.load() >= 2 && inside.load(); }, 5s, 1ms));
        timer->cancel();
        const int atCancel = starts.load();
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(starts.load(), atCancel) << round;
        EXPECT_TRUE(timer->isCancelled());
        // The handler still running uses this round's locals: let it end first (TSan).
        queue->sync([] {});
    }

    // Cancelled while its firing waits in the queue: that firing never starts.
    {
        auto queue = DispatchQueue::serial("Tidemark.Tests.CancelQueued");
        Semaphore release;
        std::atomic<int> firings{0};
        queue->async([&] { release.waitFor(5s); });
        auto timer = DispatchTimer::make(queue);
        timer->schedule(5ms, 5ms, 0ms);
        timer->setEventHandler([&] { ++firings; });
        timer->resume();
        std::this_thread::sleep_for(40ms);  // due, handed to the blocked queue
        timer->cancel();
        release.signal();
        queue->sync([] {});
        EXPECT_EQ(firings.load(), 0);
    }

    // Released without cancel: it stops, and nothing crashes while a tick is on its way.
    std::atomic<int> firings{0};
    {
        auto timer = DispatchTimer::make(DispatchQueue::utility());
        timer->schedule(0ms, 1ms, 0ms);
        timer->setEventHandler([&] { ++firings; });
        timer->resume();
        ASSERT_TRUE(testsupport::eventually([&] { return firings.load() >= 3; }, 5s, 1ms));
    }
    std::this_thread::sleep_for(20ms);
    const int afterRelease = firings.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(firings.load(), afterRelease);
}

TEST(DispatchTimerTests, OneShotTimerFiresOnce) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.OneShot");
    std::atomic<int> firings{0};
    auto timer = DispatchTimer::make(queue);
    timer->schedule(20ms, platform::Duration::zero(), 0ms);
    timer->setEventHandler([&] { ++firings; });
    timer->resume();
    ASSERT_TRUE(testsupport::eventually([&] { return firings.load() == 1; }, 5s));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(firings.load(), 1);
}

TEST(SemaphoreTests, WaitsTimeOutAndSignalsCrossThreads) {
    Semaphore empty;
    const auto start = Clock::now();
    EXPECT_FALSE(empty.waitFor(60ms));
    EXPECT_GE(Clock::now() - start, 60ms);

    Semaphore counted(2);
    EXPECT_TRUE(counted.waitFor(0ms));
    EXPECT_TRUE(counted.waitFor(0ms));
    EXPECT_FALSE(counted.waitFor(10ms));

    Semaphore late;
    std::thread signaller([&] {
        std::this_thread::sleep_for(40ms);
        late.signal();
    });
    const auto waitStart = Clock::now();
    EXPECT_TRUE(late.waitFor(5s));
    EXPECT_GE(Clock::now() - waitStart, 30ms);
    signaller.join();

    // Every signal is consumed exactly once across competing waiters.
    Semaphore items;
    std::atomic<int> consumed{0};
    std::vector<std::thread> consumers;
    for (int index = 0; index < 4; ++index) {
        consumers.emplace_back([&] {
            while (items.waitFor(200ms)) ++consumed;
        });
    }
    for (int index = 0; index < 1000; ++index) items.signal();
    for (auto& thread : consumers) thread.join();
    EXPECT_EQ(consumed.load(), 1000);
}

namespace {

// Context switches of the threads with this name (0 when there is none).
long switchesOfThreadsNamed(const std::string& wanted) {
    long total = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != wanted) continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

}  // namespace

// A serial queue sleeps on its own deadlines: its timers and delayed tasks run on its
// worker with no other thread woken, in deadline order among its plain tasks, and a
// cancelled one never runs and lets go of what it holds at once.
TEST(SerialQueueDeadlines, RunOnTheWorkerInOrderAndCancelledOnesNeverRun) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Deadlines");
    std::mutex mutex;
    std::vector<std::string> ran;
    std::atomic<bool> offQueue{false};
    Semaphore done;
    const auto start = Clock::now();
    auto record = [&](std::string what, std::chrono::milliseconds notBefore) {
        return [&, what, notBefore] {
            if (!queue->isCurrent()) offQueue = true;
            std::lock_guard lock(mutex);
            if (Clock::now() - start < notBefore) ran.push_back(what + " early");
            ran.push_back(what);
            if (what == "last") done.signal();
        };
    };
    queue->asyncAt(start + 120ms, 0ms, record("c", 120ms));
    queue->asyncAt(start + 40ms, 0ms, record("a", 40ms));
    const auto held = std::make_shared<int>(1);
    const uint64_t cancelled = queue->asyncAt(start + 80ms, 0ms, [&, held] { ran.push_back("cancelled"); });
    queue->asyncAt(start + 80ms, 0ms, record("b", 80ms));
    queue->async(record("now", 0ms));
    queue->cancelAsyncAt(cancelled);
    EXPECT_EQ(held.use_count(), 1) << "the cancelled task's captures are released by the cancel";
    queue->cancelAsyncAt(cancelled);  // twice is harmless
    queue->asyncAt(start + 150ms, 0ms, record("last", 150ms));
    ASSERT_TRUE(done.waitFor(5s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "a", "b", "c", "last"}));
    EXPECT_FALSE(offQueue.load());

    // The scheduler thread exists only when another test used the utility queue's
    // deadlines; either way it must not wake for a serial queue's timer.
    const long schedulerSwitches = switchesOfThreadsNamed("deadlines");
    auto timer = DispatchTimer::make(queue);
    Semaphore fired;
    timer->schedule(10ms, 20ms, 5ms);
    timer->setEventHandler([&] { fired.signal(); });
    timer->resume();
    for (int firing = 0; firing < 3; ++firing) ASSERT_TRUE(fired.waitFor(5s));
    timer->cancel();
    EXPECT_EQ(switchesOfThreadsNamed("deadlines"), schedulerSwitches) << "the scheduler thread never woke";
}

// Deadlines whose leeway windows overlap share one wake-up: the earlier one waits (within
// its leeway) for the later one; one outside every window keeps its own.
TEST(SerialQueueDeadlines, LeewayLetsCloseDeadlinesShareAWakeUp) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Leeway");
    std::mutex mutex;
    std::map<std::string, Clock::time_point> at;
    Semaphore done;
    const auto start = Clock::now() + 50ms;
    auto record = [&](std::string what) {
        return [&, what] {
            std::lock_guard lock(mutex);
            at[what] = Clock::now();
            if (at.size() == 3) done.signal();
        };
    };
    queue->asyncAt(start, 200ms, record("early, generous"));
    queue->asyncAt(start + 100ms, 0ms, record("later"));
    queue->asyncAt(start + 500ms, 0ms, record("outside"));
    ASSERT_TRUE(done.waitFor(5s));
    std::lock_guard lock(mutex);
    EXPECT_GE(at["early, generous"], start);
    EXPECT_GE(at["later"], start + 100ms) << "never early";
    EXPECT_GE(at["early, generous"], start + 100ms) << "it waited for the later deadline in its window";
    EXPECT_LE(at["early, generous"], start + 200ms + 300ms) << "and not past its leeway by much (a loaded machine)";
    EXPECT_GE(at["outside"], start + 500ms);
}

// A handler may outlive its timer: the last reference to the timer dies while the handler
// runs. The handler finishes, and nothing fires after it; the queue itself carries on.
TEST(SerialQueueDeadlines, AHandlerThatOutlivesItsTimerFinishesAndNothingFiresAfter) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Outlive");
    auto timer = DispatchTimer::make(queue);
    std::atomic<int> firings{0};
    std::atomic<bool> finished{false};
    Semaphore inside;
    Semaphore released;
    timer->schedule(0ms, 10ms, 0ms);
    timer->setEventHandler([&] {
        if (++firings > 1) return;
        inside.signal();
        released.wait();
        std::this_thread::sleep_for(20ms);
        finished = true;
    });
    timer->resume();
    ASSERT_TRUE(inside.waitFor(5s));
    timer.reset();  // the last reference, from another thread, while the handler runs
    released.signal();
    Semaphore drained;
    queue->asyncAfter(100ms, [&] { drained.signal(); });
    ASSERT_TRUE(drained.waitFor(5s));
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(firings.load(), 1);

    // Released with a far-off deadline cancelled, the queue's worker goes away.
    const auto before = threadNames().size();
    {
        auto shortLived = DispatchQueue::serial("Tidemark.Tests.Gone");
        Semaphore started;
        shortLived->async([&] { started.signal(); });
        ASSERT_TRUE(started.waitFor(5s));
        auto farOff = DispatchTimer::make(shortLived);
        farOff->schedule(1h, 1h, 0ms);
        farOff->setEventHandler([] {});
        farOff->resume();
        EXPECT_EQ(threadNames().size(), before + 1);
    }
    EXPECT_TRUE(testsupport::eventually([&] { return threadNames().size() == before; }, 5s))
        << "a cancelled timer does not keep the worker of a released queue";
}

// A task that keeps posting itself again never leaves its queue empty; a deadline on that
// queue still comes round, and not before its time.
TEST(SerialQueueDeadlines, ABusyQueueStillRunsItsDueDeadlines) {
    auto queue = DispatchQueue::serial("Tidemark.Tests.Busy");
    std::atomic<bool> deadlineRan{false};
    std::atomic<bool> early{false};
    std::atomic<bool> gaveUp{false};
    Semaphore stopped;
    const auto start = Clock::now();
    const auto giveUp = start + 5s;
    queue->asyncAfter(30ms, [&] {
        early = Clock::now() - start < 30ms;
        deadlineRan = true;
    });
    std::function<void()> spin = [&] {
        if (deadlineRan || Clock::now() > giveUp) {
            gaveUp = !deadlineRan;
            stopped.signal();
            return;
        }
        queue->async(spin);
    };
    queue->async(spin);
    ASSERT_TRUE(stopped.waitFor(10s));
    EXPECT_FALSE(gaveUp.load()) << "the deadline waited behind a queue that never ran dry";
    queue->sync([] {});
    EXPECT_TRUE(deadlineRan.load());
    EXPECT_FALSE(early.load());
}

namespace {

// With every descriptor taken, a new serial queue has no wake-up descriptor: it still
// runs tasks posted while it sleeps, with and without a deadline pending, and says it
// cannot watch descriptors.
[[noreturn]] void serialQueueWithNoDescriptorLeft() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 64);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    // A first queue made while descriptors remain: whatever a sanitizer loads when it
    // first meets these types (its suppressions file) is loaded by then. It stays, as
    // an ending queue would give its descriptor back while the next one is made.
    const auto first = DispatchQueue::serial("Tidemark.Tests.BeforeTheLimit");
    first->sync([] {});
    std::vector<int> taken;
    for (int fd; (fd = ::dup(0)) >= 0;) taken.push_back(fd);
    auto queue = DispatchQueue::serial("Tidemark.Tests.NoDescriptor");
    if (queue->canWatchDescriptors() || queue->watch(0, POLLIN, [](short) {})) std::_Exit(2);
    Semaphore ran;
    std::this_thread::sleep_for(50ms);  // the worker is asleep with nothing to wait for
    queue->async([&] { ran.signal(); });
    if (!ran.waitFor(5s)) std::_Exit(3);
    queue->asyncAfter(20ms, [&] { ran.signal(); });
    if (!ran.waitFor(5s)) std::_Exit(4);
    queue->asyncAfter(1h, [] {});
    std::this_thread::sleep_for(50ms);  // asleep until the far deadline
    queue->async([&] { ran.signal(); });
    if (!ran.waitFor(5s)) std::_Exit(5);
    std::_Exit(0);
}

}  // namespace

TEST(SerialQueueDeadlines, WithNoDescriptorLeftAQueueStillWakesForItsWork) {
    // A fresh process, not a fork of this threaded one: ThreadSanitizer stops a forked
    // child of a threaded process that starts a thread, as the queue's worker is.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(serialQueueWithNoDescriptorLeft(), ::testing::ExitedWithCode(0), "");
}

// A watch that waits for other work never ends the worker's sleep. When a task or a
// deadline wakes the worker, a ready one runs first; before a deadline, so does what it
// posts (a reply's completion comes before the tick that looks for it).
TEST(SerialQueueWatches, AWatchThatWaitsRunsBeforeTheWorkThatWokeTheQueue) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    auto queue = DispatchQueue::serial("Tidemark.Tests.Waiting");
    testsupport::EventOrder order;
    auto note = [&](std::string what) { order.note(std::move(what)); };
    auto taken = [&] { return order.events(); };
    std::optional<uint64_t> watch;
    queue->sync([&] {
        watch = queue->watch(
            ends[0], POLLIN,
            [&](short revents) {
                char byte = 0;
                if ((revents & POLLIN) && ::read(ends[0], &byte, 1) == 1) {
                    note(std::string("ready ") + byte);
                    queue->async([&, byte] { note(std::string("posted ") + byte); });
                }
            },
            DispatchQueue::WatchWake::withOtherWork);
    });
    ASSERT_TRUE(watch);

    ASSERT_EQ(::write(ends[1], "a", 1), 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(taken().empty()) << "the ready descriptor woke the queue";
    Semaphore done;
    queue->asyncAfter(10ms, [&] {
        note("deadline");
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(5s));
    EXPECT_EQ(taken(), (std::vector<std::string>{"ready a", "posted a", "deadline"}));

    ASSERT_EQ(::write(ends[1], "b", 1), 1);
    std::this_thread::sleep_for(100ms);
    queue->async([&] {
        note("task");
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(5s));
    queue->sync([] {});
    EXPECT_EQ(taken(), (std::vector<std::string>{"ready a", "posted a", "deadline", "ready b", "task", "posted b"}));

    // Switched to wake at once, the same watch ends the sleep by itself.
    ASSERT_EQ(::write(ends[1], "c", 1), 1);
    std::this_thread::sleep_for(100ms);
    queue->changeWatch(*watch, POLLIN, DispatchQueue::WatchWake::atOnce);
    EXPECT_TRUE(testsupport::eventually([&] { return taken().size() == 8; }, 5s));
    EXPECT_EQ(taken().back(), "posted c");
    queue->sync([&] { queue->unwatch(*watch); });
    ::close(ends[0]);
    ::close(ends[1]);
}
