#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

using nlohmann::json;

namespace {

json payload(int providers, const std::string& selection = "auto") {
    json list = json::array();
    for (int i = 0; i < providers; ++i)
        list.push_back({{"id", std::string("p").append(std::to_string(i))}, {"name", "P"}, {"color", "#112233"}, {"status", "ok"},
                        {"displayValue", "1"}});
    return json{{"enabled", true}, {"selection", selection}, {"providers", list}};
}

}  // namespace

TEST(AppDelegateDock, QuotaMessagesAndTheReopenAnswer) {
    platform::RunLoop::main().useManualClock(true);
    testsupport::TemporaryDirectory directory;
    testsupport::ScopedEnvironment runtime("XDG_RUNTIME_DIR", directory.path().c_str());
    platform::UserDefaults defaults(directory.path() + "/defaults.json");
    auto delegate = std::make_shared<AppDelegate>();
    delegate->dockQuotaIconController = std::make_shared<DockQuotaIconController>(defaults);
    platform::Application::shared().setDelegate(delegate);
    auto& dock = *delegate->dockQuotaIconController;

    // No state yet: the platform does its default handling.
    EXPECT_TRUE(platform::Application::shared().handleReopen());

    testsupport::LogCapture log;
    delegate->handleDockQuotaMessage(json{{"enabled", 2}});
    EXPECT_EQ(log.count("[Tidemark] Ignored invalid Dock quota payload"), 1u);
    EXPECT_FALSE(dock.state());

    auto callback = delegate->dockQuotaCallback();
    callback(payload(3));
    ASSERT_TRUE(dock.state());
    EXPECT_TRUE(defaults.boolForKey(DockQuotaIconController::enabledKey));  // applied with persist
    EXPECT_EQ(dock.currentProvider()->id, "p0");
    EXPECT_FALSE(platform::Application::shared().handleReopen());  // moved on: no default handling
    EXPECT_EQ(dock.currentProvider()->id, "p1");

    // An invalid payload leaves the shown state alone.
    delegate->handleDockQuotaMessage(json{{"enabled", true}, {"selection", "auto"}});
    EXPECT_EQ(log.count("[Tidemark] Ignored invalid Dock quota payload"), 2u);
    EXPECT_EQ(dock.currentProvider()->id, "p1");

    delegate->handleDockQuotaMessage(payload(1));
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
    delegate->handleDockQuotaMessage(json{{"enabled", false}});
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_FALSE(defaults.boolForKey(DockQuotaIconController::enabledKey));

    // The callback holds the delegate weakly and does nothing once it is gone.
    platform::Application::shared().setDelegate({});
    std::weak_ptr<AppDelegate> weak = delegate;
    auto controller = delegate->dockQuotaIconController;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    callback(payload(3));
    EXPECT_FALSE(controller->state()->enabled);
    platform::RunLoop::main().useManualClock(false);
}
