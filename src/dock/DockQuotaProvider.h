#pragma once
#include <optional>
#include <string>

// One quota provider as shown on the Dock icon; strings are stored as validated.
struct DockQuotaProvider {
    std::string id;
    std::string name;
    std::string color;
    std::string status;
    std::optional<double> percent;
    std::string displayValue;

    bool operator==(const DockQuotaProvider&) const = default;
};
