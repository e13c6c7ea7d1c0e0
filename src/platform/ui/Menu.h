#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"

namespace platform {

class Menu;
class View;

enum class ControlState : int { mixed = -1, off = 0, on = 1 };

// One entry of a menu. The action is one closure (the platform's target and action).
class MenuItem {
public:
    using Action = std::function<void()>;

    MenuItem(std::string title, Action action, std::string keyEquivalent);
    static std::shared_ptr<MenuItem> separatorItem();

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    void setAction(Action action) { action_ = std::move(action); }
    bool hasAction() const { return static_cast<bool>(action_); }
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
    ControlState state() const { return state_; }
    void setState(ControlState state) {
        state_ = state;
        hasState_ = true;
    }
    // Whether the item has ever been given a state: it then shows a checkmark slot.
    bool hasState() const { return hasState_; }
    bool isEnabled() const { return isEnabled_; }
    void setEnabled(bool enabled) { isEnabled_ = enabled; }
    const std::optional<std::string>& toolTip() const { return toolTip_; }
    void setToolTip(std::optional<std::string> tip) { toolTip_ = std::move(tip); }
    bool isSeparatorItem() const { return isSeparator_; }

    // Runs the action when the item is enabled and not a separator; true when it ran.
    bool performAction();

private:
    std::string title_;
    Action action_;
    std::string keyEquivalent_;
    ControlState state_ = ControlState::off;
    bool hasState_ = false;
    bool isEnabled_ = true;
    std::optional<std::string> toolTip_;
    bool isSeparator_ = false;
};

class MenuDelegate {
public:
    virtual ~MenuDelegate() = default;
    virtual void menuWillOpen(Menu&) {}
    virtual void menuDidClose(Menu&) {}
};

// Where a menu was last popped up.
struct MenuPopUp {
    std::shared_ptr<MenuItem> positioningItem;
    Point location;
    std::weak_ptr<View> view;
};

// A menu. While it is open the user can choose one item or dismiss it; either closes it.
// This class keeps the state both backends share (the headless one is exactly this);
// the desktop backend also shows it through the hooks.
class Menu {
public:
    // Made by the UI backend.
    static std::shared_ptr<Menu> make(std::string title = {});
    explicit Menu(std::string title = {});
    virtual ~Menu() = default;

    const std::string& title() const { return title_; }
    void addItem(std::shared_ptr<MenuItem> item);
    void removeAllItems() { items_.clear(); }
    const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
    // The first item with that title, or nullptr.
    std::shared_ptr<MenuItem> itemWithTitle(const std::string& title) const;

    void setDelegate(std::weak_ptr<MenuDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<MenuDelegate> delegate() const { return delegate_.lock(); }

    // Opens the menu at a location in the view's coordinates (the screen when absent).
    // The headless backend returns at once with the menu open; false, as nothing has
    // been chosen yet.
    bool popUp(std::shared_ptr<MenuItem> positioningItem, Point location, std::shared_ptr<View> view);
    bool isOpen() const { return isOpen_; }
    unsigned long popUpCount() const { return popUpCount_; }
    const std::optional<MenuPopUp>& lastPopUp() const { return lastPopUp_; }

    // The user chose an item of the open menu: the menu closes, then the item acts.
    // False when the menu is not open or the item is not one of its enabled items.
    bool chooseItem(const std::shared_ptr<MenuItem>& item);
    // The user dismissed the open menu.
    void cancelTracking();

protected:
    // Presentation hooks, after the state has changed.
    virtual void didPopUp() {}
    virtual void didClose() {}

private:
    void close();

    std::string title_;
    std::vector<std::shared_ptr<MenuItem>> items_;
    std::weak_ptr<MenuDelegate> delegate_;
    bool isOpen_ = false;
    unsigned long popUpCount_ = 0;
    std::optional<MenuPopUp> lastPopUp_;
};

}  // namespace platform
