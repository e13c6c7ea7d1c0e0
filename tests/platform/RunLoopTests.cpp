#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::RunLoop;
using platform::Timer;
using Clock = std::chrono::steady_clock;

namespace {

// The test thread is the main thread; each test starts from an empty loop on the clock
// it asks for.
class RunLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loop().isMainThread());
        loop().useManualClock(false);
        loop().runPending();
    }
    void TearDown() override {
        for (auto& timer : timers_) timer->invalidate();
        loop().runPending();
        loop().useManualClock(false);
    }
    static RunLoop& loop() { return RunLoop::main(); }
    std::shared_ptr<Timer> keep(std::shared_ptr<Timer> timer) {
        timers_.push_back(timer);
        return timer;
    }

private:
    std::vector<std::shared_ptr<Timer>> timers_;
};

}  // namespace

TEST_F(RunLoopTest, MainQueueOnTheManualClockRunsOnlyWhenTimeMoves) {
    loop().useManualClock(true);
    EXPECT_TRUE(loop().usesManualClock());
    const auto start = loop().now();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(loop().now(), start);  // frozen

    bool ranAsync = false;
    bool onMain = false;
    bool late = false;
    RunLoop::TimePoint lateAt{};
    DispatchQueue::main()->async([&] {
        ranAsync = true;
        onMain = DispatchQueue::main()->isCurrent() && loop().isMainThread();
    });
    DispatchQueue::main()->asyncAfter(5s, [&] {
        late = true;
        lateAt = loop().now();
    });
    loop().runPending();
    EXPECT_TRUE(ranAsync);
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(late);
    loop().advance(4999ms);
    EXPECT_FALSE(late);
    loop().advance(1ms);
    EXPECT_TRUE(late);
    EXPECT_EQ(lateAt - start, 5s);
    EXPECT_EQ(loop().now() - start, 5s);

    // sync from the main thread runs in place; from another thread it waits for the loop.
    bool inlineRan = false;
    DispatchQueue::main()->sync([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan);
    std::atomic<bool> fromWorker{false};
    std::atomic<bool> workerReturned{false};
    std::thread worker([&] {
        EXPECT_FALSE(loop().isMainThread());
        EXPECT_FALSE(DispatchQueue::main()->isCurrent());
        DispatchQueue::main()->sync([&] { fromWorker = loop().isMainThread(); });
        workerReturned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(workerReturned.load());  // nobody ran the loop yet
    EXPECT_TRUE(loop().runUntil([&] { return workerReturned.load(); }, 5000ms));
    worker.join();
    EXPECT_TRUE(fromWorker.load());
}

TEST_F(RunLoopTest, ManualAdvanceFiresInDeadlineOrderAtEachFireDate) {
    loop().useManualClock(true);
    const auto start = loop().now();
    std::vector<std::pair<std::string, platform::Duration>> fired;
    auto record = [&](std::string name) {
        return [&fired, name, start](Timer&) { fired.emplace_back(name, RunLoop::main().now() - start); };
    };
    keep(loop().scheduleTimer(3s, false, record("three")));
    keep(loop().scheduleTimer(1s, false, record("one")));
    keep(loop().scheduleTimer(2s, false, record("two")));
    auto tie = keep(loop().scheduleTimer(2s, false, record("two again")));
    EXPECT_EQ(tie->fireDate() - start, 2s);
    DispatchQueue::main()->asyncAfter(1500ms, [&] { fired.emplace_back("half", loop().now() - start); });
    // A task posted by a handler runs before time moves on to the next firing.
    keep(loop().scheduleTimer(2500ms, false, [&](Timer&) {
        DispatchQueue::main()->async([&] { fired.emplace_back("posted", loop().now() - start); });
    }));

    loop().advance(10s);
    const std::vector<std::pair<std::string, platform::Duration>> expected{
        {"one", 1s}, {"half", 1500ms}, {"two", 2s}, {"two again", 2s}, {"posted", 2500ms}, {"three", 3s}};
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(loop().now() - start, 10s);
    EXPECT_FALSE(tie->isValid());  // a one-shot timer is done once it fired
}

TEST_F(RunLoopTest, RepeatingTimerKeepsItsPhaseOnTheManualClock) {
    loop().useManualClock(true);
    const auto start = loop().now();
    int rotations = 0;
    auto rotation = keep(loop().scheduleTimer(8s, true, [&](Timer&) { ++rotations; }));
    EXPECT_EQ(rotation->interval(), 8s);
    loop().advance(24s);
    EXPECT_EQ(rotations, 3);
    EXPECT_EQ(rotation->fireDate() - start, 32s);
    for (int second = 0; second < 24; ++second) loop().advance(1s);
    EXPECT_EQ(rotations, 6);

    // Invalidating from inside the handler ends it there.
    std::vector<platform::Duration> ticks;
    auto ticking = keep(loop().scheduleTimer(1s, true, [&](Timer& timer) {
        ticks.push_back(loop().now() - start);
        if (ticks.size() == 5) timer.invalidate();
    }));
    loop().advance(24s);
    EXPECT_FALSE(ticking->isValid());
    EXPECT_EQ(ticks, (std::vector<platform::Duration>{49s, 50s, 51s, 52s, 53s}));

    // Invalidated from outside before it is due: it never fires.
    bool fired = false;
    auto cancelled = keep(loop().scheduleTimer(1s, true, [&](Timer&) { fired = true; }));
    cancelled->invalidate();
    loop().advance(5s);
    EXPECT_FALSE(fired);
}

TEST_F(RunLoopTest, DispatchTimerOnTheMainQueueFollowsTheManualClock) {
    loop().useManualClock(true);
    const auto start = loop().now();
    std::vector<platform::Duration> firings;
    auto timer = platform::DispatchTimer::make(DispatchQueue::main());
    timer->schedule(1s, 2s, 100ms);
    timer->setEventHandler([&] { firings.push_back(loop().now() - start); });
    timer->resume();
    loop().advance(8s);
    timer->cancel();
    loop().advance(4s);
    EXPECT_EQ(firings, (std::vector<platform::Duration>{1s, 3s, 5s, 7s}));
}

TEST_F(RunLoopTest, RealClockWakesForPerformsAndTimers) {
    // perform() from another thread wakes a sleeping run().
    std::thread poster([] {
        std::this_thread::sleep_for(50ms);
        RunLoop::main().perform([] { RunLoop::main().stop(); });
    });
    const auto start = Clock::now();
    loop().run();
    const auto elapsed = Clock::now() - start;
    poster.join();
    EXPECT_GE(elapsed, 40ms);
    EXPECT_LT(elapsed, 2s);

    // A repeating timer that the loop could not serve for a while fires once when the
    // loop is back, then stays on its phase.
    std::vector<Clock::time_point> firings;
    auto timer = keep(loop().scheduleTimer(40ms, true, [&](Timer&) { firings.push_back(Clock::now()); }));
    const auto firstFireDate = timer->fireDate();
    loop().perform([] { std::this_thread::sleep_for(150ms); });
    EXPECT_TRUE(loop().runUntil([&] { return firings.size() >= 3; }, 5000ms));
    ASSERT_GE(firings.size(), 3u);
    EXPECT_GE(firings[0] - firstFireDate, 110ms);
    // No burst for the missed ones: the next firing waits for the grid point after the first.
    const auto periods = (firings[0] - firstFireDate) / 40ms + 1;
    EXPECT_GE(firings[1], firstFireDate + periods * 40ms);
    EXPECT_EQ((timer->fireDate() - firstFireDate) % 40ms, platform::Duration::zero());
    timer->invalidate();

    // runUntil gives up after the real timeout.
    const auto waitStart = Clock::now();
    EXPECT_FALSE(loop().runUntil([] { return false; }, 60ms));
    EXPECT_GE(Clock::now() - waitStart, 60ms);
}

TEST_F(RunLoopTest, PerformFromManyThreadsRunsEveryTaskOnTheMainThread) {
    constexpr int threads = 6;
    constexpr int tasksPerThread = 500;
    int ran = 0;  // only touched on the main thread
    std::atomic<int> offMain{0};
    std::vector<std::thread> posters;
    for (int index = 0; index < threads; ++index) {
        posters.emplace_back([&] {
            for (int task = 0; task < tasksPerThread; ++task) {
                RunLoop::main().perform([&] {
                    if (!RunLoop::main().isMainThread()) ++offMain;
                    ++ran;
                });
            }
        });
    }
    EXPECT_TRUE(loop().runUntil([&] { return ran == threads * tasksPerThread; }, 10000ms));
    for (auto& poster : posters) poster.join();
    loop().runPending();
    EXPECT_EQ(ran, threads * tasksPerThread);
    EXPECT_EQ(offMain.load(), 0);
}
