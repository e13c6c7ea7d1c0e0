// Install-now on the desktop: the new version, started while the old one quits, must not
// run beside it on the same data folder.
#include <gtest/gtest.h>

#include <thread>

#include "DesktopSession.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;

TEST(DesktopRelaunch, TheRelaunchedVersionWaitsUntilTheQuittingOneHasStoppedItsServer) {
    DesktopSession session;
    auto environment = session.environment();
    environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "120";
    testsupport::TidemarkRun old({.environment = environment, .fixedToken = true, .copiedInstallWithServer = std::nullopt,
                                  .executable = std::nullopt, .sameUserAs = nullptr});
    ASSERT_TRUE(old.waitUntilHealthy(30s)) << old.output();
    ASSERT_TRUE(session.waitForRegistration(1, 30s)) << old.output();
    // The server is the child that owns the data folder; web view helpers end on their own.
    const auto oldServers = old.serverPids();
    const int oldServer = oldServers.empty() ? 0 : oldServers.back();
    ASSERT_GT(oldServer, 0) << old.output();

    // What the updater starts: same user, same data folder, the relaunch switch.
    auto relaunchEnvironment = environment;
    relaunchEnvironment.emplace("TIDEMARK_RELAUNCHED_FOR_UPDATE", "1");
    testsupport::TidemarkRun relaunched({.environment = relaunchEnvironment,
                                         .fixedToken = true,
                                         .copiedInstallWithServer = std::nullopt,
                                         .executable = std::nullopt,
                                         .sameUserAs = &old});
    // While the old one runs, the new one neither hands over nor starts anything.
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(relaunched.process().isRunning()) << relaunched.output();
    EXPECT_TRUE(relaunched.childPids().empty()) << relaunched.output();
    EXPECT_EQ(relaunched.output().find("already running"), std::string::npos) << relaunched.output();
    EXPECT_FALSE(session.waitForRegistration(2, 100ms)) << session.watcherOutput();

    // The old one quits (its server first); only then does the new one start its own.
    ASSERT_TRUE(old.stop()) << old.output();
    EXPECT_FALSE(testsupport::processAlive(oldServer));
    ASSERT_TRUE(relaunched.waitUntilHealthy(40s)) << relaunched.output();
    EXPECT_TRUE(session.waitForRegistration(2, 30s)) << session.watcherOutput() << relaunched.output();
    EXPECT_TRUE(relaunched.stop()) << relaunched.output();
}
