#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/Application.h"
#include "support/TestSupport.h"

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class CountingDelegate : public platform::ApplicationDelegate {
public:
    int willTerminate = 0;
    void applicationWillTerminate() override { ++willTerminate; }
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The helper application as a real child process with its standard output on a pipe.
class HelperProcess {
public:
    explicit HelperProcess(const std::string& mode) {
        const std::string path = testsupport::testBinDirectory() + "/ApplicationHelper";
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(mode.c_str()), nullptr};
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~HelperProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) ::close(fd_);
    }

    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

    // Reads until the output contains text (or end of file / timeout).
    bool readUntil(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            if (!readSome(deadline)) return false;
        }
        return true;
    }
    void readToEnd(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (readSome(deadline)) {
        }
    }
    // The exit status, or -1 when it did not exit normally in time.
    int waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        int status = 0;
        while (Clock::now() < deadline) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

private:
    bool readSome(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[512];
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count <= 0) return false;
        output_.append(buffer, static_cast<size_t>(count));
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::string output_;
};

}  // namespace

TEST(ApplicationTests, DelegateIsWeakAndWillTerminateRunsOnce) {
    auto& application = platform::Application::shared();
    EXPECT_EQ(&application, &platform::Application::shared());
    EXPECT_TRUE(application.setActivationPolicy(platform::ActivationPolicy::accessory));
    EXPECT_EQ(application.activationPolicy(), platform::ActivationPolicy::accessory);

    auto delegate = std::make_shared<CountingDelegate>();
    application.setDelegate(delegate);
    EXPECT_EQ(application.delegate(), delegate);
    std::weak_ptr<CountingDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());  // the application does not keep it alive
    EXPECT_EQ(application.delegate(), nullptr);

    // The once-only guard lasts for the process, so this part runs in a child of its own.
    EXPECT_EXIT(
        {
            auto counting = std::make_shared<CountingDelegate>();
            application.setDelegate(counting);
            application.runWillTerminate();
            application.runWillTerminate();
            std::exit(counting->willTerminate == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ApplicationTests, TerminationSignalsRunWillTerminateOnceAndExitZero) {
    for (const int signalNumber : {SIGTERM, SIGINT}) {
        HelperProcess helper("signal");
        ASSERT_GT(helper.pid(), 0);
        ASSERT_TRUE(helper.readUntil("launched main=1\n", 10s)) << helper.output();
        ASSERT_EQ(::kill(helper.pid(), signalNumber), 0);
        EXPECT_EQ(helper.waitForExit(10s), 0) << signalNumber;
        helper.readToEnd(2s);
        EXPECT_EQ(occurrences(helper.output(), "will-terminate main=1\n"), 1u) << helper.output();
        // The unflushed last line made it out: terminate() flushes before it exits.
        EXPECT_EQ(occurrences(helper.output(), "will-terminate done\n"), 1u) << helper.output();
        EXPECT_EQ(occurrences(helper.output(), "run returned"), 0u) << helper.output();
    }
}

TEST(ApplicationTests, RepeatedTerminationDuringWillTerminateDoesNotCutItShort) {
    HelperProcess helper("signal-twice");
    ASSERT_GT(helper.pid(), 0);
    ASSERT_TRUE(helper.readUntil("launched main=1\n", 10s)) << helper.output();
    ASSERT_EQ(::kill(helper.pid(), SIGTERM), 0);
    EXPECT_EQ(helper.waitForExit(10s), 0);
    helper.readToEnd(2s);
    EXPECT_EQ(occurrences(helper.output(), "will-terminate main=1\n"), 1u) << helper.output();
    EXPECT_EQ(occurrences(helper.output(), "will-terminate done\n"), 1u) << helper.output();
}

TEST(ApplicationTests, TerminateFromAWorkerThreadHopsToTheMainThread) {
    HelperProcess helper("worker-terminate");
    ASSERT_GT(helper.pid(), 0);
    EXPECT_EQ(helper.waitForExit(10s), 0);
    helper.readToEnd(2s);
    EXPECT_EQ(occurrences(helper.output(), "launched main=1\n"), 1u) << helper.output();
    EXPECT_EQ(occurrences(helper.output(), "will-terminate main=1\n"), 1u) << helper.output();
    EXPECT_EQ(occurrences(helper.output(), "will-terminate done\n"), 1u) << helper.output();
}
