// The main run loop inside the GLib main context (no display needed).
#include <gtest/gtest.h>
#include <glib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"
#include "platform/ui/gtk/GLibRunLoopDriver.h"

using namespace std::chrono_literals;
using platform::RunLoop;

namespace {

// Keeps posting itself to the main queue until told to stop.
struct Reposter {
    std::atomic<int> runs{0};
    std::atomic<bool> stop{false};
    void post() {
        platform::DispatchQueue::main()->async([this] {
            ++runs;
            if (!stop) post();
        });
    }
};

}  // namespace

TEST(GLibRunLoopDriver, TasksTimersAndGLibSourcesShareTheThreadWithoutStarving) {
    platform::ui::GLibRunLoopDriver driver;
    RunLoop& loop = RunLoop::main();
    ASSERT_TRUE(loop.isMainThread());
    loop.setDriver(&driver);

    // A task that keeps posting itself must not keep GLib's own sources from running.
    Reposter reposter;
    reposter.post();
    std::atomic<int> glibTicks{0};
    g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            return ++*static_cast<std::atomic<int>*>(data) < 5 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        &glibTicks);

    // A loop timer fires on time, and a post from another thread wakes the loop.
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration timerDelay{};
    loop.scheduleTimer(std::chrono::milliseconds(150), false, [&](platform::Timer&) {
        timerDelay = std::chrono::steady_clock::now() - start;
    });
    std::atomic<bool> fromThread{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(300ms);
        platform::DispatchQueue::main()->async([&] {
            fromThread = true;
            reposter.stop = true;
            // Stopping from another thread ends run() through the driver.
            std::thread([&loop] { loop.stop(); }).detach();
        });
    });
    loop.run();
    poster.join();
    loop.setDriver(nullptr);

    EXPECT_TRUE(fromThread);
    EXPECT_EQ(glibTicks.load(), 5) << "GLib sources starved by a reposting task";
    EXPECT_GE(timerDelay, 150ms);
    EXPECT_LT(timerDelay, 2s);
    // One run per dispatch: many, but the loop still got to everything else.
    EXPECT_GT(reposter.runs.load(), 10);
}

TEST(GLibRunLoopDriver, ADispatchRunsOnlyTheTasksPresentWhenItStarts) {
    RunLoop& loop = RunLoop::main();
    int first = 0, second = 0;
    platform::DispatchQueue::main()->async([&] {
        ++first;
        platform::DispatchQueue::main()->async([&] { ++second; });
    });
    loop.dispatchPending();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0) << "posted during the dispatch: waits for the next one";
    EXPECT_TRUE(loop.hasPendingTasks());
    loop.dispatchPending();
    EXPECT_EQ(second, 1);
    EXPECT_FALSE(loop.hasPendingTasks());
}
