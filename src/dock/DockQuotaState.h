#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "dock/DockQuotaProvider.h"

// What the page last asked the Dock icon to show.
struct DockQuotaState {
    bool enabled = false;
    std::string selection = "auto";
    std::vector<DockQuotaProvider> providers;

    bool operator==(const DockQuotaState&) const = default;

    // The stored form: every field by name, "percent" left out when absent.
    // nullopt when a string is not valid UTF-8.
    std::optional<std::string> encodedJSON() const;
    // Every key but "percent" required with its type; nothing else is checked.
    static std::optional<DockQuotaState> decodeJSON(const std::string& bytes);
};
