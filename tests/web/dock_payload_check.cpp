// Reads one JSON value per line and prints "valid ..." or "invalid" for each, as the
// native side's parseState judges the page's dockQuota payloads.
#include "dock/DockQuotaIconController.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <string>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
        const auto state = value.is_discarded() ? std::nullopt : DockQuotaIconController::parseState(value);
        if (!state) {
            std::cout << "invalid\n";
        } else {
            std::cout << "valid enabled=" << (state->enabled ? "true" : "false") << " selection=" << state->selection
                      << " providers=" << state->providers.size() << "\n";
        }
        std::cout.flush();
    }
    return 0;
}
