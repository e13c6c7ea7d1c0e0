#include "platform/ui/UserContentController.h"

namespace platform {

bool UserContentController::add(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) {
    if (!handler) return false;
    return handlers_.emplace(name, std::move(handler)).second;
}

std::shared_ptr<ScriptMessageHandler> UserContentController::handler(const std::string& name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? nullptr : it->second;
}

bool UserContentController::didReceive(const ScriptMessage& message) {
    auto target = handler(message.name);
    if (!target) return false;
    target->userContentController(*this, message);
    return true;
}

}  // namespace platform
