// A task that throws on a queue ends only itself: one log line, and the queue goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

namespace {

struct CapturedLog {
    CapturedLog() {
        platform::setLogSink([this](std::string_view text) {
            std::lock_guard lock(mutex);
            lines.emplace_back(text);
        });
    }
    ~CapturedLog() { platform::setLogSink({}); }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace

TEST(DispatchGuard, AThrowingTaskEndsOnlyItselfWithOneLogLine) {
    CapturedLog log;
    for (const auto& queue : {platform::DispatchQueue::serial("guard.test"), platform::DispatchQueue::utility()}) {
        const auto before = log.taken().size();
        queue->async([] { throw std::runtime_error("disk gone"); });
        queue->async([] { throw 42; });
        // Later tasks still run (the utility queue may run them beside the failing ones).
        std::atomic<int> ran = 0;
        for (int i = 0; i < 3; ++i) queue->async([&] { ++ran; });
        queue->sync([&] { ++ran; });
        EXPECT_TRUE(testsupport::eventually([&] { return ran == 4 && log.taken().size() - before == 2; },
                                            std::chrono::seconds(5)))
            << queue->label();
        auto lines = log.taken();
        ASSERT_EQ(lines.size() - before, 2u) << queue->label();
        std::vector<std::string> failures(lines.begin() + static_cast<long>(before), lines.end());
        std::sort(failures.begin(), failures.end());
        const std::string prefix = "[Tidemark] A task on " + queue->label() + " failed";
        EXPECT_EQ(failures, (std::vector<std::string>{prefix, prefix + ": disk gone"}));
    }
}

// A timer whose handler throws keeps firing: the failure ends that one run, not the timer.
TEST(DispatchGuard, ATimerWhoseHandlerThrowsKeepsFiring) {
    CapturedLog log;
    for (const auto& queue : {platform::DispatchQueue::serial("guard.timer"), platform::DispatchQueue::utility()}) {
        auto timer = platform::DispatchTimer::make(queue);
        std::atomic<int> firings = 0;
        timer->schedule(std::chrono::milliseconds(0), std::chrono::milliseconds(10), std::chrono::milliseconds(0));
        timer->setEventHandler([&] {
            if (++firings == 1) throw std::runtime_error("first run fails");
        });
        timer->resume();
        EXPECT_TRUE(testsupport::eventually([&] { return firings >= 3; }, std::chrono::seconds(5)))
            << queue->label() << ": " << firings.load() << " firings";
        timer->cancel();
    }
}
