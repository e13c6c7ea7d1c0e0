#include "platform/ui/Button.h"

namespace platform {

Button::Button(Rect frame) : View(frame) {}

bool Button::sendAction() {
    if (!isEnabled_ || !action_) return false;
    // A copy: the action may replace itself.
    auto action = action_;
    action();
    return true;
}

void Button::handle(const Event& event) {
    if (sendActionMask_ & eventMask(event.type)) sendAction();
}

void Button::mouseDown(const Event& event) { handle(event); }
void Button::mouseUp(const Event& event) { handle(event); }
void Button::rightMouseDown(const Event& event) { handle(event); }
void Button::rightMouseUp(const Event& event) { handle(event); }

}  // namespace platform
