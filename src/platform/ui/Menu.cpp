#include "platform/ui/Menu.h"

#include <algorithm>

#include "platform/ui/Backend.h"
#include "platform/ui/View.h"

namespace platform {

MenuItem::MenuItem(std::string title, Action action, std::string keyEquivalent)
    : title_(std::move(title)), action_(std::move(action)), keyEquivalent_(std::move(keyEquivalent)) {}

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
    auto item = std::make_shared<MenuItem>("", nullptr, "");
    item->isSeparator_ = true;
    return item;
}

bool MenuItem::performAction() {
    if (isSeparator_ || !isEnabled_ || !action_) return false;
    auto action = action_;
    action();
    return true;
}

std::shared_ptr<Menu> Menu::make(std::string title) { return ui::Backend::current().makeMenu(std::move(title)); }

Menu::Menu(std::string title) : title_(std::move(title)) {}

void Menu::addItem(std::shared_ptr<MenuItem> item) {
    if (item) items_.push_back(std::move(item));
}

std::shared_ptr<MenuItem> Menu::itemWithTitle(const std::string& title) const {
    for (const auto& item : items_)
        if (!item->isSeparatorItem() && item->title() == title) return item;
    return nullptr;
}

bool Menu::popUp(std::shared_ptr<MenuItem> positioningItem, Point location, std::shared_ptr<View> view) {
    if (auto d = delegate()) d->menuWillOpen(*this);
    isOpen_ = true;
    ++popUpCount_;
    lastPopUp_ = MenuPopUp{std::move(positioningItem), location, view};
    didPopUp();
    return false;
}

void Menu::close() {
    if (!isOpen_) return;
    isOpen_ = false;
    didClose();
    if (auto d = delegate()) d->menuDidClose(*this);
}

bool Menu::chooseItem(const std::shared_ptr<MenuItem>& item) {
    if (!isOpen_ || std::find(items_.begin(), items_.end(), item) == items_.end()) return false;
    if (item->isSeparatorItem() || !item->isEnabled()) return false;
    close();
    return item->performAction();
}

void Menu::cancelTracking() { close(); }

}  // namespace platform
