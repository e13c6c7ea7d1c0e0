#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "dock/DockQuotaIconController.h"
#include "platform/Application.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/ui/headless/HeadlessDock.h"
#include "platform/graphics/Image.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using nlohmann::json;
using platform::ActivationPolicy;
using platform::Application;

namespace {

DockQuotaProvider provider(const std::string& id, std::optional<double> percent = 50) {
    return DockQuotaProvider{id, "Name " + id, "#336699", "ok", percent, "50%"};
}

DockQuotaState enabled(std::vector<DockQuotaProvider> providers, std::string selection = "auto") {
    return DockQuotaState{true, std::move(selection), std::move(providers)};
}

DockQuotaState disabled() { return DockQuotaState{false, "auto", {}}; }

std::vector<DockQuotaProvider> three() { return {provider("a"), provider("b"), provider("c")}; }

std::string shownID(const DockQuotaIconController& c) {
    auto p = c.currentProvider();
    return p ? p->id : "";
}

class DockQuotaIconControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::RunLoop::main().useManualClock(true);
        Application::shared().setDock(std::make_shared<platform::ui::HeadlessDock>());
        startupIcon = std::make_shared<platform::Image>(platform::Size{16, 16},
                                                        [](platform::GraphicsContext&, platform::Rect) { return true; });
        Application::shared().setApplicationIconImage(startupIcon);
        Application::shared().setActivationPolicy(ActivationPolicy::accessory);
    }
    void TearDown() override { platform::RunLoop::main().useManualClock(false); }

    std::string defaultsPath() const { return directory.path() + "/Tidemark/defaults.json"; }

    testsupport::TemporaryDirectory directory;
    testsupport::ScopedEnvironment runtime{"XDG_RUNTIME_DIR", directory.path().c_str()};
    std::shared_ptr<platform::Image> startupIcon;
};

}  // namespace

TEST_F(DockQuotaIconControllerTest, ApplyPersistsAndSwitchesTheDockIcon) {
    platform::UserDefaults defaults(defaultsPath());
    DockQuotaIconController controller(defaults);
    EXPECT_FALSE(controller.state());
    EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::accessory);
    ASSERT_TRUE(controller.defaultIcon());
    EXPECT_NE(controller.defaultIcon(), startupIcon);  // a copy

    controller.apply(enabled(three()), true);
    EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::regular);
    auto icon = Application::shared().applicationIconImage();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size(), (platform::Size{512, 512}));
    EXPECT_FALSE(icon->isTemplate());

    // What another process would read from the file.
    {
        platform::UserDefaults reread(defaultsPath());
        EXPECT_TRUE(reread.boolForKey(DockQuotaIconController::enabledKey));
        auto data = reread.dataForKey(DockQuotaIconController::stateKey);
        ASSERT_TRUE(data);
        json stored = json::parse(*data);
        EXPECT_EQ(stored["enabled"], true);
        EXPECT_EQ(stored["selection"], "auto");
        ASSERT_EQ(stored["providers"].size(), 3u);
        EXPECT_EQ(stored["providers"][1]["id"], "b");
        EXPECT_EQ(stored["providers"][1]["percent"], 50.0);
    }

    // Carry-over: an empty list keeps the three, and they are what is persisted.
    controller.apply(enabled({}), true);
    EXPECT_EQ(controller.state()->providers.size(), 3u);
    {
        platform::UserDefaults reread(defaultsPath());
        EXPECT_EQ(json::parse(*reread.dataForKey(DockQuotaIconController::stateKey))["providers"].size(), 3u);
    }

    // A provider without percent leaves the key out.
    controller.apply(enabled({provider("x", std::nullopt)}), true);
    {
        platform::UserDefaults reread(defaultsPath());
        json stored = json::parse(*reread.dataForKey(DockQuotaIconController::stateKey));
        EXPECT_FALSE(stored["providers"][0].contains("percent"));
    }

    controller.apply(disabled(), true);
    EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::accessory);
    EXPECT_EQ(Application::shared().applicationIconImage(), controller.defaultIcon());
    {
        platform::UserDefaults reread(defaultsPath());
        EXPECT_TRUE(reread.hasKey(DockQuotaIconController::enabledKey));
        EXPECT_FALSE(reread.boolForKey(DockQuotaIconController::enabledKey));
        EXPECT_FALSE(reread.hasKey(DockQuotaIconController::stateKey));
    }

    // Without persist nothing is written.
    controller.apply(enabled(three()), false);
    platform::UserDefaults reread(defaultsPath());
    EXPECT_FALSE(reread.boolForKey(DockQuotaIconController::enabledKey));
    EXPECT_FALSE(reread.hasKey(DockQuotaIconController::stateKey));
}

TEST_F(DockQuotaIconControllerTest, RestoresAtStartUp) {
    {
        platform::UserDefaults defaults(defaultsPath());
        DockQuotaIconController first(defaults);
        first.apply(enabled(three(), "b"), true);
    }
    Application::shared().setActivationPolicy(ActivationPolicy::accessory);
    Application::shared().setApplicationIconImage(startupIcon);
    {
        platform::UserDefaults defaults(defaultsPath());
        DockQuotaIconController restored(defaults);
        ASSERT_TRUE(restored.state());
        EXPECT_EQ(*restored.state(), enabled(three(), "b"));
        EXPECT_EQ(shownID(restored), "b");
        EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::regular);
        EXPECT_NE(Application::shared().applicationIconImage(), startupIcon);
    }

    // Stored data that does not decode: no state, but the Boolean still gives a Dock icon.
    for (const std::string& bad : {std::string("{not json"), std::string(R"({"enabled":true,"selection":"auto"})"),
                                   std::string(R"({"enabled":1,"selection":"auto","providers":[]})"),
                                   std::string(R"({"enabled":true,"selection":"auto","providers":[{"id":"a"}]})")}) {
        SCOPED_TRACE(bad);
        platform::UserDefaults defaults(defaultsPath());
        defaults.setBool(true, DockQuotaIconController::enabledKey);
        defaults.setData(bad, DockQuotaIconController::stateKey);
        Application::shared().setActivationPolicy(ActivationPolicy::accessory);
        Application::shared().setApplicationIconImage(startupIcon);
        DockQuotaIconController controller(defaults);
        EXPECT_FALSE(controller.state());
        EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::regular);
        EXPECT_EQ(Application::shared().applicationIconImage(), startupIcon);
        EXPECT_EQ(defaults.dataForKey(DockQuotaIconController::stateKey), bad);  // left in place
    }

    // A stored state that is not revalidated: a malformed colour and percent survive.
    {
        platform::UserDefaults defaults(defaultsPath());
        defaults.setData(R"({"enabled":true,"selection":"Not Valid","providers":[{"id":"A B","name":"",)"
                         R"("color":"oops","status":"weird","percent":1e6,"displayValue":"x","more":1}]})",
                         DockQuotaIconController::stateKey);
        DockQuotaIconController controller(defaults);
        ASSERT_TRUE(controller.state());
        EXPECT_EQ(controller.state()->selection, "Not Valid");
        EXPECT_EQ(controller.state()->providers[0].percent, 1e6);
    }

    // Nothing stored and the Boolean false: no Dock icon.
    {
        platform::UserDefaults defaults(directory.path() + "/other.json");
        Application::shared().setActivationPolicy(ActivationPolicy::accessory);
        DockQuotaIconController controller(defaults);
        EXPECT_FALSE(controller.state());
        EXPECT_EQ(Application::shared().activationPolicy(), ActivationPolicy::accessory);
    }
}

TEST_F(DockQuotaIconControllerTest, RotatesEveryEightSecondsOnTheMainRunLoop) {
    auto& loop = platform::RunLoop::main();
    platform::UserDefaults defaults(defaultsPath());
    DockQuotaIconController controller(defaults);
    controller.apply(enabled(three()), true);
    EXPECT_TRUE(controller.isRotating());
    EXPECT_EQ(shownID(controller), "a");
    loop.advance(7900ms);
    EXPECT_EQ(shownID(controller), "a");
    loop.advance(200ms);  // 8.1 s
    EXPECT_EQ(shownID(controller), "b");
    loop.advance(8s);  // 16.1 s
    EXPECT_EQ(shownID(controller), "c");
    loop.advance(3900ms);  // 20 s: a new payload restarts from the first
    controller.apply(enabled(three()), true);
    EXPECT_EQ(shownID(controller), "a");
    loop.advance(4100ms);  // 24.1 s: the old rhythm would have moved on here
    EXPECT_EQ(shownID(controller), "a");
    loop.advance(3800ms);  // 27.9 s
    EXPECT_EQ(shownID(controller), "a");
    loop.advance(200ms);  // 28.1 s
    EXPECT_EQ(shownID(controller), "b");
    loop.advance(16s);  // wraps
    EXPECT_EQ(shownID(controller), "a");

    // No timer for one provider, a fixed selection, or a disabled state.
    controller.apply(enabled({provider("a")}), true);
    EXPECT_FALSE(controller.isRotating());
    controller.apply(enabled(three(), "b"), true);
    EXPECT_FALSE(controller.isRotating());
    loop.advance(9s);
    EXPECT_EQ(shownID(controller), "b");
    controller.apply(disabled(), true);
    EXPECT_FALSE(controller.isRotating());
}

TEST_F(DockQuotaIconControllerTest, TimerOutlivingTheControllerDoesNothing) {
    auto& loop = platform::RunLoop::main();
    platform::UserDefaults defaults(defaultsPath());
    auto controller = std::make_unique<DockQuotaIconController>(defaults);
    controller->apply(enabled(three()), false);
    controller.reset();
    auto before = Application::shared().applicationIconImage();
    loop.advance(20s);  // would crash or redraw if the timer still fired into it
    EXPECT_EQ(Application::shared().applicationIconImage(), before);
}

TEST_F(DockQuotaIconControllerTest, DockClicksAndManualChoice) {
    auto& loop = platform::RunLoop::main();
    platform::UserDefaults defaults(defaultsPath());
    DockQuotaIconController controller(defaults);

    EXPECT_FALSE(controller.advanceToNextProvider());  // no state

    controller.apply(enabled(three()), true);
    loop.advance(8100ms);
    ASSERT_EQ(shownID(controller), "b");
    EXPECT_TRUE(controller.advanceToNextProvider());
    EXPECT_EQ(shownID(controller), "c");
    EXPECT_FALSE(controller.manualProviderID());
    EXPECT_TRUE(controller.advanceToNextProvider());  // wraps
    EXPECT_EQ(shownID(controller), "a");
    // The timer was not restarted: it fires at 16 s and moves on from the new index.
    loop.advance(8000ms);  // 16.1 s
    EXPECT_EQ(shownID(controller), "b");

    controller.apply(enabled({provider("a")}), true);
    EXPECT_FALSE(controller.advanceToNextProvider());
    EXPECT_EQ(shownID(controller), "a");

    // Fixed selection: clicks make a manual choice.
    controller.apply(enabled(three(), "b"), true);
    EXPECT_TRUE(controller.advanceToNextProvider());
    EXPECT_EQ(controller.manualProviderID(), "c");
    EXPECT_EQ(shownID(controller), "c");
    EXPECT_TRUE(controller.advanceToNextProvider());
    EXPECT_EQ(shownID(controller), "a");
    controller.apply(enabled(three(), "b"), true);  // same selection, id still there
    EXPECT_EQ(shownID(controller), "a");
    controller.apply(enabled({provider("b"), provider("c")}, "b"), true);  // chosen id gone
    EXPECT_FALSE(controller.manualProviderID());
    EXPECT_EQ(shownID(controller), "b");
    controller.advanceToNextProvider();
    controller.apply(enabled(three(), "c"), true);  // changed selection
    EXPECT_FALSE(controller.manualProviderID());
    EXPECT_EQ(shownID(controller), "c");
    controller.advanceToNextProvider();
    ASSERT_EQ(controller.manualProviderID(), "a");
    controller.apply(enabled({}, "c"), true);  // carried-over providers keep the choice
    EXPECT_EQ(controller.manualProviderID(), "a");

    // Selection naming no provider: the start-up icon, and a click picks the first.
    controller.apply(enabled(three(), "zzz"), true);
    EXPECT_EQ(shownID(controller), "");
    EXPECT_EQ(Application::shared().applicationIconImage(), controller.defaultIcon());
    EXPECT_TRUE(controller.advanceToNextProvider());
    EXPECT_EQ(shownID(controller), "a");

    controller.apply(disabled(), true);
    EXPECT_FALSE(controller.advanceToNextProvider());
    EXPECT_EQ(Application::shared().applicationIconImage(), controller.defaultIcon());
}

TEST_F(DockQuotaIconControllerTest, DockTileWritesTheShownIcon) {
    platform::UserDefaults defaults(defaultsPath());
    DockQuotaIconController controller(defaults);
    const std::string tile = directory.path() + "/Tidemark/dock-tile.png";
    controller.apply(enabled({provider("a")}), true);
    std::ifstream in(tile, std::ios::binary);
    ASSERT_TRUE(in) << tile;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = platform::Image::fromPNGData(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (platform::Size{512, 512}));
    auto pixels = image->bitmap(512, 512);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->at(256, 256).a, 255);  // the drawn tile, not the empty start-up icon
    EXPECT_EQ(pixels->at(2, 2).a, 0);

    controller.apply(disabled(), true);
    std::ifstream again(tile, std::ios::binary);
    std::string startup((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    auto startupImage = platform::Image::fromPNGData(startup);
    ASSERT_TRUE(startupImage);
    EXPECT_EQ(startupImage->bitmap(512, 512)->at(256, 256).a, 0);
}

namespace {
// What a UI backend sees of the Dock icon, in order.
struct RecordingDock : platform::Dock {
    void setIconShown(bool shown) override { events.push_back(shown ? "shown" : "hidden"); }
    void display(const std::shared_ptr<platform::Image>& image) override {
        events.push_back("display " + (image ? image->accessibilityDescription() : std::string("<none>")));
        images.push_back(image);
    }
    std::vector<std::string> events;
    std::vector<std::shared_ptr<platform::Image>> images;
};
}  // namespace

TEST_F(DockQuotaIconControllerTest, TheBackendsDockFollowsThePolicyAndSeesEachDrawnIconOnce) {
    auto dock = std::make_shared<RecordingDock>();
    Application::shared().setDock(dock);
    EXPECT_EQ(dock->events, (std::vector<std::string>{"hidden"}));  // told the policy at once
    platform::UserDefaults defaults(defaultsPath());
    {
        DockQuotaIconController controller(defaults);
        auto state = enabled({provider("a"), DockQuotaProvider{"b", "Bee", "#ff0000", "error", 80, "80%"}});
        controller.apply(state, true);
        platform::RunLoop::main().advance(8s);
        controller.apply(disabled(), true);
        // Shown before the first icon; the start-up icon goes back before the icon goes.
        EXPECT_EQ(dock->events, (std::vector<std::string>{"hidden", "shown", "display Name a: 50%", "display Bee: \u2014",
                                                          "display ", "hidden"}));
        ASSERT_EQ(dock->images.size(), 3u);
        EXPECT_NE(dock->images[0], dock->images[1]);  // a new image per change
        EXPECT_EQ(dock->images[2], controller.defaultIcon());
    }
    Application::shared().setDock(nullptr);
}
