#include "menu/MenuBarController.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "platform/FileManager.h"
#include "platform/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/HeadlessDriver.h"
#include "support/TestSupport.h"

using platform::ControlState;
using platform::LoginItemStatus;
using uitest::MouseButton;

namespace {

// A login-item service whose answers the test chooses (approval cannot happen with
// autostart entries).
class ScriptedLoginItems : public platform::LoginItemService {
public:
    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::optional<LoginItemStatus> afterRegister;
    std::optional<platform::Error> failure;
    int registers = 0, unregisters = 0, settingsOpened = 0;
    mutable int statusReads = 0;

    LoginItemStatus status() const override {
        ++statusReads;
        return current;
    }
    std::optional<platform::Error> registerItem() override {
        ++registers;
        if (failure) return failure;
        current = afterRegister.value_or(LoginItemStatus::enabled);
        return std::nullopt;
    }
    std::optional<platform::Error> unregisterItem() override {
        ++unregisters;
        if (failure) return failure;
        current = LoginItemStatus::notRegistered;
        return std::nullopt;
    }
    void openSystemSettingsLoginItems() override { ++settingsOpened; }
};

struct Controller {
    std::shared_ptr<ScriptedLoginItems> items = std::make_shared<ScriptedLoginItems>();
    std::shared_ptr<MenuBarController> controller = std::make_shared<MenuBarController>(items);
    platform::StatusBarButton& button() { return *controller->statusItem->button(); }
    void openMenu() { uitest::click(button(), MouseButton::right); }
    platform::MenuItem& launchItem() { return *controller->launchAtLoginItem; }
};

}  // namespace

TEST(MenuBarController, PutsTheTemplateGlyphIntoTheBarWithTheMenuNeverAttached) {
    auto bytes = platform::base64Decode(MenuBarController::statusIconBase64);
    ASSERT_TRUE(bytes);
    auto decoded = platform::Image::fromPNGData(*bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), (platform::Size{44, 44}));
    auto bitmap = decoded->bitmap(44, 44);
    ASSERT_TRUE(bitmap);
    size_t opaque = 0;
    for (const auto& p : bitmap->pixels) {
        EXPECT_EQ(p.r + p.g + p.b, 0) << "black on transparent";
        if (p.a > 128) ++opaque;
    }
    EXPECT_GT(opaque, 150u);
    EXPECT_LT(opaque, 44u * 44u / 2);

    EXPECT_FALSE(MenuBarController::statusIcon("not base64 at all!")) << "the title \"Tide\" shows instead";
    EXPECT_FALSE(MenuBarController::statusIcon(platform::base64Encode("GIF89a not a png")));
    EXPECT_FALSE(MenuBarController::statusIcon(std::string(MenuBarController::statusIconBase64).substr(0, 200)))
        << "truncated PNG";

    const size_t before = platform::StatusBar::system().items().size();
    {
        Controller c;
        EXPECT_EQ(platform::StatusBar::system().items().size(), before + 1);
        EXPECT_EQ(c.controller->statusItem->length(), platform::StatusItem::variableLength);
        auto image = c.button().image();
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size(), (platform::Size{18, 18}));
        EXPECT_TRUE(image->isTemplate());
        EXPECT_EQ(c.button().title(), "");
        EXPECT_EQ(c.button().sendActionMask(), 12u);
        EXPECT_FALSE(c.controller->statusItem->menu());

        const auto& items = c.controller->menu->items();
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[0], c.controller->launchAtLoginItem);
        EXPECT_EQ(items[0]->title(), "Launch at Login");
        EXPECT_EQ(items[0]->keyEquivalent(), "");
        EXPECT_TRUE(items[1]->isSeparatorItem());
        EXPECT_EQ(items[2]->title(), "Quit Tidemark");
        EXPECT_EQ(items[2]->keyEquivalent(), "q");
    }
    EXPECT_EQ(platform::StatusBar::system().items().size(), before) << "the item leaves with its controller";
}

TEST(MenuBarController, LeftClickTogglesOnReleaseRightClickOpensTheMenuOnPress) {
    testsupport::LogCapture log;
    Controller c;
    int toggles = 0;
    c.controller->onTogglePanel = [&] { ++toggles; };

    uitest::press(c.button(), MouseButton::left);
    EXPECT_EQ(toggles, 0) << "nothing on press";
    uitest::release(c.button(), MouseButton::left);
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(log.count("[Tidemark] Status item clicked"), 1u);

    uitest::press(c.button(), MouseButton::right);
    EXPECT_TRUE(c.controller->menu->isOpen()) << "opens on press";
    EXPECT_EQ(c.controller->menu->lastPopUp()->location, (platform::Point{0, platform::StatusBar::thickness + 6}));
    EXPECT_EQ(c.controller->menu->lastPopUp()->view.lock().get(), &c.button());
    EXPECT_FALSE(c.controller->menu->lastPopUp()->positioningItem);
    EXPECT_EQ(c.items->statusReads, 2) << "refreshed by the click and again as the menu opens";
    uitest::release(c.button(), MouseButton::right);
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(log.count("[Tidemark] Status item clicked"), 1u);
    c.controller->menu->cancelTracking();

    // Without a current event (the action sent by other means) it counts as a left click.
    c.controller->handleStatusItemClick();
    EXPECT_EQ(toggles, 2);
    c.controller->onTogglePanel = nullptr;
    uitest::click(c.button(), MouseButton::left);
    EXPECT_EQ(log.count("[Tidemark] Status item clicked"), 3u) << "logged even with no callback";
}

TEST(MenuBarController, TheLaunchItemShowsEachStatusAndTheToggleActsOnIt) {
    Controller c;
    struct Case {
        LoginItemStatus status;
        ControlState state;
        std::optional<std::string> tip;
    };
    for (const Case& k : {Case{LoginItemStatus::notRegistered, ControlState::off, std::nullopt},
                          Case{LoginItemStatus::enabled, ControlState::on, std::nullopt},
                          Case{LoginItemStatus::requiresApproval, ControlState::on, "Requires approval in System Settings"},
                          Case{LoginItemStatus::notFound, ControlState::off, std::nullopt}}) {
        c.items->current = k.status;
        c.launchItem().setEnabled(false);
        c.launchItem().setTitle("stale");
        c.openMenu();
        EXPECT_EQ(c.launchItem().state(), k.state) << static_cast<int>(k.status);
        EXPECT_EQ(c.launchItem().toolTip(), k.tip) << static_cast<int>(k.status);
        EXPECT_TRUE(c.launchItem().isEnabled());
        EXPECT_EQ(c.launchItem().title(), "Launch at Login");
        c.controller->menu->cancelTracking();
    }

    // Waiting for approval: choosing it unregisters and opens nothing.
    c.items->current = LoginItemStatus::requiresApproval;
    c.openMenu();
    ASSERT_TRUE(uitest::chooseMenuItem(*c.controller->menu, "Launch at Login"));
    EXPECT_EQ(c.items->unregisters, 1);
    EXPECT_EQ(c.items->settingsOpened, 0);
    EXPECT_EQ(c.launchItem().state(), ControlState::off);
    EXPECT_EQ(c.launchItem().toolTip(), std::nullopt);

    // Not found: registers again.
    c.items->current = LoginItemStatus::notFound;
    c.controller->toggleLaunchAtLogin();
    EXPECT_EQ(c.items->registers, 1);
    EXPECT_EQ(c.launchItem().state(), ControlState::on);
    EXPECT_EQ(c.items->settingsOpened, 0) << "enabled needs no approval";

    // Registered but waiting for approval: the settings open once.
    c.items->current = LoginItemStatus::notRegistered;
    c.items->afterRegister = LoginItemStatus::requiresApproval;
    c.controller->toggleLaunchAtLogin();
    EXPECT_EQ(c.items->settingsOpened, 1);
    EXPECT_EQ(c.launchItem().toolTip(), "Requires approval in System Settings");
}

TEST(MenuBarController, AFailedToggleIsLoggedAndTheItemShowsTheActualStatus) {
    testsupport::LogCapture log;
    Controller c;
    c.items->current = LoginItemStatus::enabled;
    c.items->failure = platform::Error{"Test", 1, "Operation not permitted %@ %d"};
    c.launchItem().setState(ControlState::off);
    c.controller->toggleLaunchAtLogin();
    EXPECT_EQ(log.count("[Tidemark] Could not update launch at login: Operation not permitted %@ %d"), 1u);
    EXPECT_EQ(c.launchItem().state(), ControlState::on);

    c.items->current = LoginItemStatus::notRegistered;
    c.controller->toggleLaunchAtLogin();
    EXPECT_EQ(log.countPrefix("[Tidemark] Could not update launch at login: "), 2u);
    EXPECT_EQ(c.items->settingsOpened, 0);
    EXPECT_EQ(c.launchItem().state(), ControlState::off);
}

TEST(MenuBarController, WithARealAutostartEntryTheMenuTogglesLaunchAtLogin) {
    testsupport::TemporaryDirectory home;
    const std::string executable = home.path() + "/Tidemark";
    std::ofstream(executable) << "#!/bin/sh\n";
    ::chmod(executable.c_str(), 0755);
    auto service = std::make_shared<platform::AutostartLoginItemService>(home.path() + "/autostart/tidemark.desktop",
                                                                         executable);
    MenuBarController controller(service);
    auto& button = *controller.statusItem->button();

    uitest::click(button, MouseButton::right);
    EXPECT_EQ(controller.launchAtLoginItem->state(), ControlState::off);
    ASSERT_TRUE(uitest::chooseMenuItem(*controller.menu, "Launch at Login"));
    EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(service->entryPath()));
    uitest::click(button, MouseButton::right);
    EXPECT_EQ(controller.launchAtLoginItem->state(), ControlState::on);

    std::remove(executable.c_str());
    controller.menu->cancelTracking();
    uitest::click(button, MouseButton::right);
    EXPECT_EQ(controller.launchAtLoginItem->state(), ControlState::off) << "entry left, executable gone";
    ASSERT_TRUE(uitest::chooseMenuItem(*controller.menu, "Launch at Login"));
    EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(service->entryPath())) << "registered again";

    std::ofstream(executable) << "#!/bin/sh\n";
    ::chmod(executable.c_str(), 0755);
    uitest::click(button, MouseButton::right);
    ASSERT_TRUE(uitest::chooseMenuItem(*controller.menu, "Launch at Login"));
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(service->entryPath()));
    EXPECT_EQ(controller.launchAtLoginItem->state(), ControlState::off);
}

TEST(MenuBarController, QuitCallsOnQuitOnlyWhenSet) {
    Controller c;
    c.openMenu();
    EXPECT_TRUE(uitest::chooseMenuItem(*c.controller->menu, "Quit Tidemark")) << "nothing set: nothing happens";
    int quits = 0;
    c.controller->onQuit = [&] { ++quits; };
    c.openMenu();
    ASSERT_TRUE(uitest::chooseMenuItem(*c.controller->menu, "Quit Tidemark"));
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(c.items->registers + c.items->unregisters, 0);
}
