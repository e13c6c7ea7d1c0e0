#include "platform/ui/StatusBar.h"

#include <algorithm>

namespace platform {

StatusBarButton::StatusBarButton() : Button(Rect{{0, 0}, {StatusBar::thickness, StatusBar::thickness}}) {
    setBordered(false);
}

StatusItem::StatusItem(double length) : length_(length), button_(std::make_shared<StatusBarButton>()) {}

StatusBar& StatusBar::system() {
    static StatusBar bar;
    return bar;
}

std::shared_ptr<StatusItem> StatusBar::statusItem(double length) {
    auto item = std::make_shared<StatusItem>(length);
    items_.push_back(item);
    return item;
}

void StatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
}

}  // namespace platform
