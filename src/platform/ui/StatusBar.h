#pragma once
#include <memory>
#include <vector>

#include "platform/ui/Button.h"
#include "platform/ui/Menu.h"

namespace platform {

// The button of a status item. Its bounds are what a menu or popover is placed against.
class StatusBarButton : public Button {
public:
    StatusBarButton();
    // Where the button is on screen (screen coordinates, y down from the top left of
    // the desktop), as far as the backend knows; a popover hangs from it.
    Rect screenFrame() const { return screenFrame_; }
    void setScreenFrame(Rect frame) { screenFrame_ = frame; }

private:
    Rect screenFrame_;
};

// An item in the system status bar (the tray).
class StatusItem {
public:
    static constexpr double variableLength = -1;
    explicit StatusItem(double length);
    virtual ~StatusItem() = default;

    double length() const { return length_; }
    // Absent when the platform gives the item no button.
    std::shared_ptr<StatusBarButton> button() const { return button_; }
    // A menu attached here opens on every click instead of the button's action.
    std::shared_ptr<Menu> menu() const { return menu_; }
    void setMenu(std::shared_ptr<Menu> menu) { menu_ = std::move(menu); }
    bool isVisible() const { return isVisible_; }
    void setVisible(bool visible) { isVisible_ = visible; }

private:
    double length_;
    std::shared_ptr<StatusBarButton> button_;
    std::shared_ptr<Menu> menu_;
    bool isVisible_ = true;
};

// The system status bar (the UI backend's). The headless one keeps its items in
// memory; the desktop one publishes each as a tray item.
class StatusBar {
public:
    static StatusBar& system();
    static constexpr double thickness = 24;
    virtual ~StatusBar() = default;

    // The item appears in the bar at once.
    std::shared_ptr<StatusItem> statusItem(double length);
    void removeStatusItem(const std::shared_ptr<StatusItem>& item);
    const std::vector<std::shared_ptr<StatusItem>>& items() const { return items_; }

protected:
    virtual std::shared_ptr<StatusItem> makeItem(double length) { return std::make_shared<StatusItem>(length); }
    virtual void willRemove(StatusItem&) {}

private:
    std::vector<std::shared_ptr<StatusItem>> items_;
};

}  // namespace platform
