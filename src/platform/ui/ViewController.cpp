#include "platform/ui/ViewController.h"

namespace platform {

std::shared_ptr<View> ViewController::view() {
    if (!view_) {
        loadView();
        if (!view_) view_ = std::make_shared<View>();
        viewDidLoad();
    }
    return view_;
}

void ViewController::loadView() { setView(std::make_shared<View>()); }

void ViewController::addChildViewController(std::shared_ptr<ViewController> child) {
    if (!child) return;
    child->parent_ = weak_from_this();
    children_.push_back(std::move(child));
}

}  // namespace platform
