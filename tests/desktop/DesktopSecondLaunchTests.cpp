// A second launch on the desktop by the same user: it hands over to the running
// Tidemark, which opens its panel, and exits without a server of its own.
#include <gtest/gtest.h>

#include <filesystem>

#include "DesktopSession.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;

TEST(DesktopSecondLaunch, OpensThePanelOfTheRunningInstanceAndExitsWithoutAServer) {
    if (!std::filesystem::exists(testsupport::binDirectory() + "/TidemarkServer")) GTEST_SKIP() << "no TidemarkServer";
    DesktopSession session;
    testsupport::TidemarkRunOptions options;
    options.environment = session.environment();
    testsupport::TidemarkRun first(options);
    ASSERT_TRUE(first.waitUntilHealthy(30s)) << first.output();
    ASSERT_TRUE(session.waitForRegistration(1, 30s)) << first.output() << session.watcherOutput();
    const auto running = first.serverPids();
    ASSERT_EQ(running.size(), 1u) << first.output();
    EXPECT_FALSE(session.panelWindow()) << "the panel opens only when asked";

    options.sameUserAs = &first;
    options.environment["TIDEMARK_TEST_PORT"] = std::to_string(testsupport::freeLoopbackPort());
    testsupport::TidemarkRun second(options);
    ASSERT_TRUE(second.process().waitUntilExit(20s)) << second.output();
    EXPECT_EQ(second.process().terminationReason(), platform::Process::TerminationReason::exit);
    EXPECT_EQ(second.process().terminationStatus(), 0) << second.output();
    EXPECT_TRUE(second.childPids().empty());
    EXPECT_FALSE(second.waitUntilHealthy(500ms)) << "no second server";

    EXPECT_TRUE(testsupport::eventually([&] { return session.panelWindow().has_value(); }, 15s))
        << "the running instance did not open its panel:\n" << first.output();
    session.screenshot(desktoptest::artifactDirectory() + "/second-launch-panel.png");
    EXPECT_EQ(first.serverPids(), running);
    EXPECT_TRUE(first.process().isRunning());
    EXPECT_TRUE(first.stop()) << first.output();
}
