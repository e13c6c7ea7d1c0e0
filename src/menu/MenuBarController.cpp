#include "menu/MenuBarController.h"

#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Event.h"

const char* const MenuBarController::statusIconBase64 =
    "iVBORw0KGgoAAAANSUhEUgAAACwAAAAsCAYAAAAehFoBAAABHklEQVR42u2YYQ3DIBCFK2ESkICESqgEJFQCDpCAhEmoBCRUAhK6/qDJ5XKj3VYOWO4lL2kIdN/YcXdsGEQikehXmd2WyeYO2I3ZP0HbCsD2LuClYCgsJYBtwXNiBfjCi3T6aXUvwCHNCz0Aa3TSdevAHgH7loEfuyMCjmkcyqUYx3bcwLAaTuB5BnOmk2LBmofxYTs+fAVzFrDzrDusdo/AhugB4NiY1lC7XjyGPRGr72I2gjU+E9fVgF1mXbyQOdhC4jCWIr6Uar2XeKIs0HzzM6F010W35oj4lvbyb24cXdzp5grA87ewGhWK0v9JwELz8a0Ft4xmKC9z0p5mYQMzLAUdctAqtYNbo15xabcNw5LZo7sdFolEIlEdvQAas/xHjoqb3wAAAABJRU5ErkJggg==";

MenuBarController::MenuBarController(std::shared_ptr<platform::LoginItemService> loginItems)
    : statusItem(platform::StatusBar::system().statusItem(platform::StatusItem::variableLength)),
      menu(platform::Menu::make()),
      launchAtLoginItem(std::make_shared<platform::MenuItem>("Launch at Login", [this] { toggleLaunchAtLogin(); }, "")),
      loginItems_(std::move(loginItems)),
      lifetime_(std::make_shared<MenuBarController*>(this)) {
    auto button = statusItem->button();
    auto image = statusIcon(statusIconBase64);
    if (button) {
        if (image) {
            button->setImage(image);
        } else {
            button->setTitle("Tide");
        }
        button->setAction([this] { handleStatusItemClick(); });
        button->sendActionOn(statusButtonActionMask);
    }
    menu->setDelegate(std::shared_ptr<platform::MenuDelegate>(lifetime_, this));
    menu->addItem(launchAtLoginItem);
    menu->addItem(platform::MenuItem::separatorItem());
    menu->addItem(std::make_shared<platform::MenuItem>("Quit Tidemark", [this] { quit(); }, "q"));
    // Never attached: every click reaches the button, and the menu is popped up by hand.
    statusItem->setMenu(nullptr);
}

std::shared_ptr<platform::Image> MenuBarController::statusIcon(const std::string& base64) {
    auto bytes = platform::base64Decode(base64);
    if (!bytes) return nullptr;
    auto image = platform::Image::fromPNGData(*bytes);
    if (!image) return nullptr;
    image->setSize({18, 18});
    image->setTemplate(true);
    return image;
}

MenuBarController::~MenuBarController() {
    lifetime_.reset();
    if (auto button = statusItem->button()) button->setAction(nullptr);
    platform::StatusBar::system().removeStatusItem(statusItem);
}

void MenuBarController::handleStatusItemClick() {
    auto event = platform::Application::shared().currentEvent();
    if (event && event->type == platform::EventType::rightMouseDown) {
        refreshLaunchAtLoginItem();
        if (auto button = statusItem->button())
            menu->popUp(nullptr, platform::Point{0, button->bounds().maxY() + 6}, button);
        return;
    }
    platform::log("[Tidemark] Status item clicked");
    if (onTogglePanel) onTogglePanel();
}

void MenuBarController::menuWillOpen(platform::Menu&) { refreshLaunchAtLoginItem(); }

void MenuBarController::refreshLaunchAtLoginItem() {
    const auto status = loginItems_->status();
    const bool requiresApproval = status == platform::LoginItemStatus::requiresApproval;
    launchAtLoginItem->setEnabled(true);
    launchAtLoginItem->setState(status == platform::LoginItemStatus::enabled || requiresApproval
                                    ? platform::ControlState::on
                                    : platform::ControlState::off);
    launchAtLoginItem->setTitle("Launch at Login");
    launchAtLoginItem->setToolTip(requiresApproval ? std::optional<std::string>("Requires approval in System Settings")
                                                   : std::nullopt);
}

void MenuBarController::toggleLaunchAtLogin() {
    const auto status = loginItems_->status();
    std::optional<platform::Error> error;
    if (status == platform::LoginItemStatus::enabled || status == platform::LoginItemStatus::requiresApproval) {
        error = loginItems_->unregisterItem();
    } else {
        error = loginItems_->registerItem();
        if (!error && loginItems_->status() == platform::LoginItemStatus::requiresApproval)
            loginItems_->openSystemSettingsLoginItems();
    }
    if (error) platform::log("[Tidemark] Could not update launch at login: " + error->localizedDescription());
    refreshLaunchAtLoginItem();
}

void MenuBarController::quit() {
    if (onQuit) onQuit();
}
