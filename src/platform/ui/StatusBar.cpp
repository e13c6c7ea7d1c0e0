#include "platform/ui/StatusBar.h"

#include <algorithm>

#include "platform/ui/Backend.h"

namespace platform {

StatusBarButton::StatusBarButton() : Button(Rect{{0, 0}, {StatusBar::thickness, StatusBar::thickness}}) {
    setBordered(false);
}

StatusItem::StatusItem(double length) : length_(length), button_(std::make_shared<StatusBarButton>()) {}

StatusBar& StatusBar::system() { return ui::Backend::current().statusBar(); }

std::shared_ptr<StatusItem> StatusBar::statusItem(double length) {
    auto item = makeItem(length);
    items_.push_back(item);
    return item;
}

void StatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    if (item && std::find(items_.begin(), items_.end(), item) != items_.end()) willRemove(*item);
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

}  // namespace platform
