#include "platform/ui/Popover.h"

#include "platform/ui/Backend.h"

namespace platform {

std::shared_ptr<Popover> Popover::make() { return ui::Backend::current().makePopover(); }

void Popover::setContentSize(Size size) {
    contentSize_ = size;
    sizeContentView();
    didResize();
}

void Popover::setContentViewController(std::shared_ptr<ViewController> controller) {
    contentViewController_ = std::move(controller);
    sizeContentView();
}

void Popover::sizeContentView() {
    if (!contentViewController_) return;
    auto view = contentViewController_->view();
    view->setFrame(Rect{{0, 0}, contentSize_});
    view->layoutSubtreeIfNeeded();
}

void Popover::show(Rect positioningRect, std::shared_ptr<View> positioningView, RectEdge preferredEdge) {
    positioningRect_ = positioningRect;
    positioningView_ = positioningView;
    preferredEdge_ = preferredEdge;
    sizeContentView();
    isShown_ = true;
    ++showCount_;
    didShow();
}

void Popover::performClose() { close(); }

void Popover::close() {
    if (!isShown_) return;
    isShown_ = false;
    didClose();
    if (auto d = delegate()) d->popoverDidClose(*this);
}

bool Popover::handleClickOutside() {
    if (!isShown_ || behavior_ == PopoverBehavior::applicationDefined) return false;
    close();
    return true;
}

}  // namespace platform
