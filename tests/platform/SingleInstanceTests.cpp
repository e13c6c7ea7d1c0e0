#include "platform/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/RunLoop.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::SingleInstance;

namespace {

std::unique_ptr<SingleInstance> acquired(const std::string& directory, std::chrono::milliseconds wait = 0ms) {
    auto result = SingleInstance::acquire(directory, wait);
    if (auto* error = std::get_if<platform::Error>(&result)) ADD_FAILURE() << error->description;
    auto* instance = std::get_if<std::unique_ptr<SingleInstance>>(&result);
    return instance ? std::move(*instance) : nullptr;
}

}  // namespace

TEST(SingleInstance, TheSecondLaunchReachesTheFirstOnItsMainThread) {
    testsupport::TemporaryDirectory home;
    const std::string folder = home.path() + "/runtime/Tidemark";
    auto first = acquired(folder);
    ASSERT_TRUE(first && first->isPrimary());
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "the folder is the user's alone";

    auto second = acquired(folder);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->isPrimary());
    EXPECT_TRUE(second->startListening([] { return std::string(); }).has_value()) << "only the holder answers";

    // Not listening yet: the later launch keeps trying until its time is up.
    auto early = second->requestOpen(200ms);
    EXPECT_TRUE(std::holds_alternative<platform::Error>(early));

    bool onMainThread = false;
    int requests = 0;
    ASSERT_FALSE(first->startListening([&] {
        onMainThread = platform::RunLoop::main().isMainThread();
        ++requests;
        return std::string("[Tidemark] Open the panel in a browser: http://127.0.0.1:1/login?token=x");
    }));
    auto answer = std::async(std::launch::async, [&] { return second->requestOpen(5s); });
    ASSERT_TRUE(platform::RunLoop::main().runUntil(
        [&] { return answer.wait_for(0ms) == std::future_status::ready; }, 10000ms));
    auto line = answer.get();
    ASSERT_TRUE(std::holds_alternative<std::string>(line)) << std::get<platform::Error>(line).description;
    EXPECT_EQ(std::get<std::string>(line), "[Tidemark] Open the panel in a browser: http://127.0.0.1:1/login?token=x");
    EXPECT_EQ(requests, 1);
    EXPECT_TRUE(onMainThread);

    // The lock goes with its holder; a waiting launch then takes over.
    auto waiter = std::async(std::launch::async, [&] { return acquired(folder, 5s); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(waiter.wait_for(0ms), std::future_status::timeout);
    first.reset();
    auto next = waiter.get();
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->isPrimary());
}

TEST(SingleInstance, RefusesAFolderItDoesNotOwnOrALink) {
    testsupport::TemporaryDirectory home;
    const std::string real = home.path() + "/elsewhere";
    ASSERT_EQ(::mkdir(real.c_str(), 0777), 0);
    const std::string link = home.path() + "/Tidemark";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    EXPECT_TRUE(std::holds_alternative<platform::Error>(SingleInstance::acquire(link)));

    if (::geteuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
    const std::string planted = home.path() + "/planted";
    ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    auto result = SingleInstance::acquire(planted);
    ASSERT_TRUE(std::holds_alternative<platform::Error>(result));
    EXPECT_NE(std::get<platform::Error>(result).description.find("another user"), std::string::npos);
}
