#include "panel/PanelWindowController.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "PanelTestSupport.h"
#include "platform/RunLoop.h"
#include "platform/ui/HeadlessDriver.h"
#include "platform/ui/Screen.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::RunLoop;
using platform::Size;

namespace {

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunLoop::main().useManualClock(true);
        platform::Screen::setHeadlessMainScreen(platform::Screen::headlessDefault());
    }
    void TearDown() override {
        panel_.reset();
        RunLoop::main().useManualClock(true);
        RunLoop::main().advance(10s);
        RunLoop::main().useManualClock(false);
        platform::Screen::setHeadlessMainScreen(platform::Screen::headlessDefault());
    }

    // A packaged installation: an executable TidemarkServer beside ours.
    void packaged() {
        const std::string server = install_.path() + "/TidemarkServer";
        std::ofstream(server) << "#!/bin/sh\n";
        ::chmod(server.c_str(), 0755);
    }
    PanelWindowController& make() {
        panel_ = std::make_unique<PanelWindowController>(serverManager_, updateController_,
                                                         [this](const nlohmann::json& b) { bodies_.push_back(b); },
                                                         PanelEnvironment{&defaults_, install_.path()});
        page_ = std::make_shared<uitest::BridgePage>();
        uitest::headless(panel_->webController->webView())->setScriptedPageForTesting(page_);
        return *panel_;
    }
    void setScreenHeight(double visibleHeight) {
        platform::Screen::setHeadlessMainScreen(
            platform::Screen{{{0, 0}, {1440, visibleHeight + 25}}, {{0, 0}, {1440, visibleHeight}}});
    }
    std::vector<std::string> flagScripts() const {
        std::vector<std::string> flags;
        for (const auto& s : page_->scripts)
            if (s.rfind("window.__tidemarkPanelOpen", 0) == 0) flags.push_back(s);
        return flags;
    }

    testsupport::TemporaryDirectory home_;
    testsupport::TemporaryDirectory install_;
    platform::UserDefaults defaults_{home_.path() + "/defaults.json"};
    std::shared_ptr<NodeServerManager> serverManager_ = std::make_shared<NodeServerManager>();
    std::shared_ptr<TidemarkUpdateController> updateController_ =
        std::make_shared<TidemarkUpdateController>(platform::Bundle(install_.path() + "/Tidemark"), nullptr);
    std::shared_ptr<platform::StatusBarButton> button_ = std::make_shared<platform::StatusBarButton>();
    std::unique_ptr<PanelWindowController> panel_;
    std::shared_ptr<uitest::BridgePage> page_;
    std::vector<nlohmann::json> bodies_;
};

}  // namespace

TEST_F(PanelTest, ThePopoverIsConfiguredAndLaidOutWithTheWebViewBannerAndStrip) {
    auto& panel = make();
    EXPECT_FALSE(panel.popover->animates());
    EXPECT_EQ(panel.popover->behavior(), platform::PopoverBehavior::transient);
    EXPECT_EQ(panel.popover->appearance(), platform::Appearance::darkAqua);
    EXPECT_EQ(panel.popover->contentSize(), (Size{420, 640})) << "first launch";
    EXPECT_EQ(panel.popover->contentViewController(), panel.contentController);
    EXPECT_EQ(panel.popover->delegate().get(), &panel);
    EXPECT_EQ(panel.webController->route, "?surface=panel");
    EXPECT_EQ(panel.webController->parentViewController(), panel.contentController);

    auto content = panel.contentController->view();
    ASSERT_TRUE(content->layer());
    ASSERT_EQ(content->subviews().size(), 3u);
    EXPECT_EQ(content->subviews()[0], panel.webController->view());
    EXPECT_EQ(content->subviews()[1], panel.updateBannerButton());
    EXPECT_EQ(content->subviews()[2], panel.resizeHandle);
    EXPECT_EQ(panel.webController->view()->frame(), (platform::Rect{{0, 0}, {420, 640}}));
    EXPECT_EQ(panel.updateBannerButton()->frame(), (platform::Rect{{0, 598}, {420, 42}}));
    EXPECT_EQ(panel.resizeHandle->frame(), (platform::Rect{{0, 0}, {420, 6}}));
    ASSERT_EQ(panel.resizeHandle->cursorRects().size(), 1u);
    EXPECT_EQ(panel.resizeHandle->cursorRects()[0].rect, panel.resizeHandle->bounds());
    EXPECT_EQ(panel.resizeHandle->cursorRects()[0].cursor, platform::Cursor::resizeUpDown());
    EXPECT_TRUE(panel.resizeHandle->isFlipped());

    auto banner = panel.updateBannerButton();
    EXPECT_TRUE(banner->isHidden());
    EXPECT_EQ(banner->title(), "");
    EXPECT_FALSE(banner->isBordered());
    EXPECT_EQ(banner->font().size, 13);
    EXPECT_EQ(banner->font().weight, platform::Font::Weight::semibold);
    EXPECT_EQ(banner->contentTintColor(), platform::Color::calibratedRGB(0.05, 0.16, 0.12, 1));
    ASSERT_TRUE(banner->layer());
    EXPECT_EQ(banner->layer()->backgroundColor, platform::Color::calibratedRGB(0.39, 0.85, 0.62, 1));
    EXPECT_EQ(panel.webViewTopConstraint->constant(), 0);
}

TEST_F(PanelTest, StoredHeightsAreRaisedToTheMinimumButNotLimitedByTheScreen) {
    for (auto [stored, expected] : {std::pair{0.0, 640.0}, {-5.0, 640.0}, {250.0, 300.0}, {5000.0, 5000.0}, {512.5, 512.5}}) {
        defaults_.setDouble(stored, PanelWindowController::heightKey);
        auto& panel = make();
        EXPECT_EQ(panel.currentHeight, expected) << stored;
        EXPECT_EQ(panel.popover->contentSize(), (Size{420, expected}));
    }
}

TEST_F(PanelTest, DraggingTheStripResizesWithinTheScreenAndStoresEveryStep) {
    setScreenHeight(900);
    auto& panel = make();
    testsupport::TemporaryDirectory unused;
    // Down by 100 in steps of 25: taller at every step.
    uitest::drag(*panel.resizeHandle, 500, {475, 450, 425, 400});
    EXPECT_EQ(panel.currentHeight, 740);
    EXPECT_EQ(panel.popover->contentSize(), (Size{420, 740}));
    EXPECT_EQ(platform::UserDefaults(defaults_.path()).doubleForKey("Tidemark.panelHeight"), 740)
        << "written through to the file";

    std::vector<double> stored;
    panel.resizeHandle->onDrag = [&, drag = panel.resizeHandle->onDrag](double delta) {
        drag(delta);
        stored.push_back(defaults_.doubleForKey("Tidemark.panelHeight"));
    };
    uitest::drag(*panel.resizeHandle, 400, {350, 300, 250});
    EXPECT_EQ(stored, (std::vector<double>{790, 840, 840})) << "900 - 60 at most";
    uitest::drag(*panel.resizeHandle, 0, {1000, 1500});
    EXPECT_EQ(panel.currentHeight, 300) << "never below the minimum";
    EXPECT_EQ(stored.back(), 300);

    // The popover follows while shown, and the web view with it.
    panel.toggle(button_);
    uitest::drag(*panel.resizeHandle, 500, {400});
    EXPECT_EQ(panel.webController->view()->frame().height(), 400);

    // A screen lower than the minimum wins; without a screen 1140 is the limit.
    setScreenHeight(250);
    uitest::drag(*panel.resizeHandle, 500, {499});
    EXPECT_EQ(panel.currentHeight, 190);
    platform::Screen::setHeadlessMainScreen(std::nullopt);
    uitest::drag(*panel.resizeHandle, 5000, {0});
    EXPECT_EQ(panel.currentHeight, 1140);
}

TEST_F(PanelTest, ResizeStripTracksScreenPositionsEvenWithoutACallback) {
    ResizeHandleView strip;
    uitest::drag(strip, 300, {280});
    EXPECT_EQ(strip.lastScreenY, 280);
    std::vector<double> deltas;
    strip.onDrag = [&](double d) { deltas.push_back(d); };
    uitest::drag(strip, 100, {90, 120, 120});
    EXPECT_EQ(deltas, (std::vector<double>{10, -30, 0}));
}

TEST_F(PanelTest, ToggleOpensThenClosesAndThePageHearsBothWays) {
    testsupport::LogCapture log;
    auto& panel = make();
    page_->bridgeReadyAfter = 2;

    panel.toggle(button_);
    EXPECT_TRUE(panel.popover->isShown());
    EXPECT_EQ(panel.anchorButton.lock(), button_);
    EXPECT_EQ(panel.popover->positioningView(), button_);
    EXPECT_EQ(panel.popover->positioningRect(), button_->bounds());
    EXPECT_EQ(panel.popover->preferredEdge(), platform::RectEdge::minY);
    EXPECT_EQ(panel.popover->contentSize(), (Size{420, 640}));
    EXPECT_EQ(page_->panelOpenFlag, true);
    RunLoop::main().advance(1s);
    EXPECT_EQ(page_->calls, (std::vector<std::string>{"onPanelOpen"}));
    EXPECT_EQ(page_->attempts["onPanelOpen"], 3) << "retried until the bridge existed";

    panel.toggle(button_);
    EXPECT_FALSE(panel.popover->isShown());
    RunLoop::main().advance(1s);
    EXPECT_EQ(page_->calls, (std::vector<std::string>{"onPanelOpen", "onPanelClose"}));
    EXPECT_EQ(page_->panelOpenFlag, false);
    EXPECT_EQ(flagScripts(), (std::vector<std::string>{"window.__tidemarkPanelOpen = true;",
                                                       "window.__tidemarkPanelOpen = false;"}));
    EXPECT_EQ(log.count("[Tidemark] Toggle popover requested visible=false"), 1u);
    EXPECT_EQ(log.count("[Tidemark] Toggle popover requested visible=true"), 1u);

    // Without a button and closed: only the anchor and the log line.
    panel.toggle(nullptr);
    EXPECT_FALSE(panel.popover->isShown());
    EXPECT_FALSE(panel.anchorButton.lock());
    EXPECT_EQ(log.count("[Tidemark] Toggle popover requested visible=false"), 2u);
    EXPECT_EQ(flagScripts().size(), 2u);
}

TEST_F(PanelTest, ThePageMissingItsBridgeUsesUpTheBudgets) {
    auto& panel = make();
    page_->bridgeReadyAfter = 1000;
    panel.toggle(button_);
    RunLoop::main().advance(10s);
    EXPECT_EQ(page_->attempts["onPanelOpen"], 121);
    panel.toggle(button_);
    RunLoop::main().advance(10s);
    EXPECT_EQ(page_->attempts["onPanelClose"], 21);
    EXPECT_TRUE(page_->calls.empty());
}

TEST_F(PanelTest, ATransientPanelClosesOnAClickElsewhereUnlessKeptOpen) {
    {
        auto& panel = make();
        panel.toggle(button_);
        ASSERT_TRUE(uitest::clickOutside(*panel.popover));
        EXPECT_EQ(page_->panelOpenFlag, false) << "closing from outside tells the page too";
    }
    for (const char* value : {"YES", "True", "1", "yes", "tRuE"}) {
        testsupport::ScopedEnvironment keep("TIDEMARK_KEEP_POPOVER_OPEN", value);
        auto& panel = make();
        EXPECT_EQ(panel.popover->behavior(), platform::PopoverBehavior::applicationDefined) << value;
        panel.toggle(button_);
        EXPECT_FALSE(uitest::clickOutside(*panel.popover)) << value;
        EXPECT_TRUE(panel.popover->isShown());
    }
    for (const char* value : {"on", "2", "", " yes", "yes ", "0", "false"}) {
        testsupport::ScopedEnvironment keep("TIDEMARK_KEEP_POPOVER_OPEN", value);
        EXPECT_EQ(make().popover->behavior(), platform::PopoverBehavior::transient) << '"' << value << '"';
    }
    testsupport::ScopedEnvironment unset("TIDEMARK_KEEP_POPOVER_OPEN", nullptr);
    EXPECT_EQ(make().popover->behavior(), platform::PopoverBehavior::transient);
}

TEST_F(PanelTest, OpeningLoadsTheRouteOnlyOnceTheServerIsReady) {
    testsupport::LocalHttpServer server;
    std::atomic<int> hits{0};
    server.server().Get("/", [&](const httplib::Request&, httplib::Response& response) {
        ++hits;
        response.set_content("app", "text/html");
    });
    server.start();
    serverManager_->setPortForTesting(server.port());
    auto& panel = make();
    auto web = uitest::headless(panel.webController->webView());

    panel.toggle(button_);
    panel.toggle(button_);
    EXPECT_EQ(web->page().kind, platform::HeadlessWebView::Page::Kind::html) << "placeholder until ready";
    panel.webController->isServerReady = true;
    panel.toggle(button_);
    RunLoop::main().advance(1ms);
    ASSERT_TRUE(web->page().request);
    EXPECT_EQ(web->page().request->url, server.baseURL() + "?surface=panel");
    panel.toggle(button_);
    panel.toggle(button_);
    RunLoop::main().advance(1ms);
    ASSERT_TRUE(testsupport::eventually([&] { return hits.load() >= 1; }, 5000ms));
    std::this_thread::sleep_for(200ms);
    RunLoop::main().advance(1ms);
    EXPECT_EQ(hits.load(), 1) << "later openings do not reload";
    panel_.reset();  // closes its connection before the server stops
}

TEST_F(PanelTest, TheBannerOffersTheReadyUpdateAndInstallsOnce) {
    packaged();
    auto& panel = make();
    ASSERT_TRUE(updateController_->onReadyToInstall) << "connected in a packaged installation";
    int installs = 0;
    EXPECT_TRUE(updateController_->updaterWillInstallUpdateOnQuit("2.3.0", [&] { ++installs; }));

    auto banner = panel.updateBannerButton();
    EXPECT_EQ(banner->title(), "Tidemark 2.3.0 is ready \u2014 Restart to update");
    EXPECT_FALSE(banner->isHidden());
    EXPECT_EQ(panel.webViewTopConstraint->constant(), 42);
    EXPECT_EQ(panel.webController->view()->frame(), (platform::Rect{{0, 0}, {420, 598}})) << "42 points shorter";
    EXPECT_EQ(panel.popover->contentSize(), (Size{420, 640})) << "the popover keeps its size";

    updateController_->updaterWillInstallUpdateOnQuit("2.4.0", [&] { installs += 10; });
    EXPECT_EQ(banner->title(), "Tidemark 2.4.0 is ready \u2014 Restart to update");

    ASSERT_TRUE(uitest::click(*banner, uitest::MouseButton::left));
    EXPECT_EQ(banner->title(), "Installing update\u2026");
    EXPECT_FALSE(banner->isEnabled());
    EXPECT_EQ(installs, 10) << "the latest handler, once";
    uitest::click(*banner, uitest::MouseButton::left);
    EXPECT_EQ(installs, 10) << "a second click is impossible";
}

TEST_F(PanelTest, WithoutAHandlerTheBannerStaysDisabledAndADevelopmentRunNeverShowsIt) {
    packaged();
    {
        auto& panel = make();
        panel.installUpdate();
        EXPECT_EQ(panel.updateBannerButton()->title(), "Installing update\u2026");
        EXPECT_FALSE(panel.updateBannerButton()->isEnabled());
    }
    updateController_->onReadyToInstall = nullptr;
    std::remove((install_.path() + "/TidemarkServer").c_str());
    auto& panel = make();
    EXPECT_FALSE(updateController_->onReadyToInstall) << "left untouched in a development run";
    bool installed = false;
    updateController_->updaterWillInstallUpdateOnQuit("9.9.9", [&] { installed = true; });
    EXPECT_TRUE(panel.updateBannerButton()->isHidden());
    panel.installUpdate();
    EXPECT_EQ(panel.updateBannerButton()->title(), "");
    EXPECT_TRUE(panel.updateBannerButton()->isEnabled());
    EXPECT_FALSE(installed);

    // A TidemarkServer that is not executable does not count.
    std::ofstream(install_.path() + "/TidemarkServer") << "data";
    EXPECT_FALSE(PanelWindowController::hasBundledServer(install_.path()));
    EXPECT_FALSE(PanelWindowController::hasBundledServer(""));
}

TEST_F(PanelTest, DockQuotaMessagesReachTheCallbackUnchanged) {
    auto& panel = make();
    uitest::headless(panel.webController->webView())->deliverScriptMessageForTesting("dockQuota", {{"enabled", false}}, true,
                                                                   "http://127.0.0.1:5230/?surface=panel");
    ASSERT_EQ(bodies_.size(), 1u);
    EXPECT_EQ(bodies_[0], (nlohmann::json{{"enabled", false}}));
}
