#pragma once
#include <functional>
#include <nlohmann/json.hpp>

#include "platform/ui/UserContentController.h"

// Receives the page's "dockQuota" messages and passes on those from the main frame of
// the loopback page (http://127.0.0.1, any port). The body is not validated here.
class DockQuotaMessageHandler : public platform::ScriptMessageHandler {
public:
    using Callback = std::function<void(const nlohmann::json& body)>;

    explicit DockQuotaMessageHandler(Callback onMessage) : onMessage(std::move(onMessage)) {}

    void userContentController(platform::UserContentController& controller,
                               const platform::ScriptMessage& message) override;

    Callback onMessage;
};
