#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/LoginItemService.h"
#include "platform/ui/Menu.h"
#include "platform/graphics/Image.h"
#include "platform/ui/StatusBar.h"

// The status item in the menu bar: a left click toggles the panel, a right click opens
// the menu with the launch-at-login switch and the quit item. Main thread only.
class MenuBarController : public platform::MenuDelegate {
public:
    explicit MenuBarController(std::shared_ptr<platform::LoginItemService> loginItems = platform::LoginItemService::mainApp());
    ~MenuBarController() override;
    MenuBarController(const MenuBarController&) = delete;
    MenuBarController& operator=(const MenuBarController&) = delete;

    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<platform::Menu> menu;
    std::shared_ptr<platform::MenuItem> launchAtLoginItem;
    std::function<void()> onTogglePanel;
    std::function<void()> onQuit;

    void handleStatusItemClick();
    void menuWillOpen(platform::Menu& menu) override;
    void toggleLaunchAtLogin();
    void quit();

    // The 44 × 44 template glyph as base64 PNG.
    static const char* const statusIconBase64;
    // The 18 × 18 template image from base64 PNG text; nullptr when it does not decode.
    static std::shared_ptr<platform::Image> statusIcon(const std::string& base64);
    static constexpr platform::EventMask statusButtonActionMask =
        platform::eventMask(platform::EventType::leftMouseUp) | platform::eventMask(platform::EventType::rightMouseDown);

private:
    void refreshLaunchAtLoginItem();

    std::shared_ptr<platform::LoginItemService> loginItems_;
    // Hands out weak references to this controller (it is not created by make_shared).
    std::shared_ptr<MenuBarController*> lifetime_;
};
