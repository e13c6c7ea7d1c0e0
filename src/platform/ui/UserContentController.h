#pragma once
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/URLSession.h"

namespace platform {

class UserContentController;

struct FrameInfo {
    bool isMainFrame = true;
    // The request of the document in that frame (its url may be empty).
    URLRequest request;
};

// What a page posted with window.webkit.messageHandlers.<name>.postMessage(body).
struct ScriptMessage {
    std::string name;
    nlohmann::json body;
    FrameInfo frameInfo;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    // On the main thread.
    virtual void userContentController(UserContentController& controller, const ScriptMessage& message) = 0;
};

// Routes a page's script messages by name to their handlers, which it keeps alive.
class UserContentController {
public:
    // False when a handler of that name exists already (the first one stays).
    bool add(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name);
    void removeScriptMessageHandler(const std::string& name) { handlers_.erase(name); }
    std::shared_ptr<ScriptMessageHandler> handler(const std::string& name) const;
    // The names with a handler, in order.
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : handlers_) result.push_back(entry.first);
        return result;
    }

    // The page posted a message: the handler of its name gets it. False when none.
    bool didReceive(const ScriptMessage& message);

private:
    std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
};

}  // namespace platform
