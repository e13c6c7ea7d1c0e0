// The delegate's start-up paths on the headless backend, with a server manager whose
// readiness wait gives up quickly.
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/RunLoop.h"
#include "platform/ui/Popover.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/HeadlessDriver.h"
#include "support/TestSupport.h"
#include "support/TidemarkRun.h"


using namespace std::chrono_literals;
using testsupport::ScopedEnvironment;

namespace {

struct FailingStart {
    testsupport::TemporaryDirectory home;
    testsupport::TemporaryDirectory emptyInstall;
    // Settings, data and the Dock tile stay inside the test's own folder.
    ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() + "/config").c_str()};
    ScopedEnvironment data{"XDG_DATA_HOME", (home.path() + "/data").c_str()};
    ScopedEnvironment runtime{"XDG_RUNTIME_DIR", home.path().c_str()};
    ScopedEnvironment testing{"TIDEMARK_TESTING", "1"};
    // Nothing listens there, so the development fall-back never becomes ready.
    ScopedEnvironment port{"TIDEMARK_TEST_PORT", std::to_string(testsupport::freeLoopbackPort()).c_str()};
    ScopedEnvironment showPanel{"TIDEMARK_TEST_SHOW_PANEL", nullptr};
    ScopedEnvironment keepOpen{"TIDEMARK_KEEP_POPOVER_OPEN", nullptr};
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>();

    FailingStart() {
        NodeServerManager::Timing timing;
        timing.readinessDeadline = 200ms;
        const std::string install = emptyInstall.path();
        delegate->makeServerManager = [timing, install] { return std::make_shared<NodeServerManager>(timing, install); };
    }
    ~FailingStart() { platform::RunLoop::main().runPending(); }

    bool errorShown() const {
        const auto& page = uitest::headless(delegate->panelController->webController->webView())->page();
        return page.kind == platform::HeadlessWebView::Page::Kind::html &&
               page.html.find("Tidemark is taking longer than expected") != std::string::npos;
    }
    bool waitForError() {
        return platform::RunLoop::main().runUntil([this] { return errorShown(); }, 10s);
    }
};

}  // namespace

TEST(AppDelegateStart, FailureBeforeTheFirstClickShowsTheErrorWhenOpened) {
    FailingStart start;
    testsupport::LogCapture logs;
    start.delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(start.waitForError());
    auto& panel = *start.delegate->panelController;
    EXPECT_FALSE(panel.popover->isShown()) << "nobody asked for the panel yet";
    EXPECT_FALSE(panel.webController->isServerReady);

    auto button = start.delegate->menuBarController->statusItem->button();
    ASSERT_TRUE(button);
    ASSERT_TRUE(uitest::click(*button, uitest::MouseButton::left));
    uitest::runMainQueue();
    EXPECT_TRUE(panel.popover->isShown());
    EXPECT_TRUE(start.errorShown()) << "the error page stays, no route is loaded";
    EXPECT_TRUE(logs.contains("[Tidemark] Status item clicked"));
}

TEST(AppDelegateStart, FailureAfterTheFirstClickReopensThePanelAtItsButton) {
    FailingStart start;
    start.delegate->applicationDidFinishLaunching();
    auto& panel = *start.delegate->panelController;
    auto button = start.delegate->menuBarController->statusItem->button();
    ASSERT_TRUE(button);
    // Open and close again before the start has failed.
    ASSERT_TRUE(uitest::click(*button, uitest::MouseButton::left));
    uitest::runMainQueue();
    ASSERT_TRUE(panel.popover->isShown());
    ASSERT_TRUE(uitest::click(*button, uitest::MouseButton::left));
    uitest::runMainQueue();
    ASSERT_FALSE(panel.popover->isShown());
    ASSERT_FALSE(start.errorShown());

    ASSERT_TRUE(start.waitForError());
    EXPECT_TRUE(panel.popover->isShown()) << "reopened at the last anchor to show the error";
    EXPECT_EQ(panel.anchorButton.lock(), button);
    EXPECT_FALSE(panel.webController->isServerReady);
}
