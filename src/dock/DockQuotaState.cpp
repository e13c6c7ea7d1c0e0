#include "dock/DockQuotaState.h"

#include <cmath>

std::optional<std::string> DockQuotaState::encodedJSON() const {
    nlohmann::ordered_json providerList = nlohmann::ordered_json::array();
    for (const DockQuotaProvider& p : providers) {
        nlohmann::ordered_json item;
        item["id"] = p.id;
        item["name"] = p.name;
        item["color"] = p.color;
        item["status"] = p.status;
        if (p.percent) {
            // A non-finite double has no JSON form.
            if (!std::isfinite(*p.percent)) return std::nullopt;
            item["percent"] = *p.percent;
        }
        item["displayValue"] = p.displayValue;
        providerList.push_back(std::move(item));
    }
    nlohmann::ordered_json object;
    object["enabled"] = enabled;
    object["selection"] = selection;
    object["providers"] = std::move(providerList);
    try {
        return object.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

namespace {

std::optional<std::string> requiredString(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

std::optional<DockQuotaState> DockQuotaState::decodeJSON(const std::string& bytes) {
    nlohmann::json root = nlohmann::json::parse(bytes, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    DockQuotaState state;
    auto enabled = root.find("enabled");
    if (enabled == root.end() || !enabled->is_boolean()) return std::nullopt;
    state.enabled = enabled->get<bool>();
    auto selection = requiredString(root, "selection");
    if (!selection) return std::nullopt;
    state.selection = *selection;
    auto providers = root.find("providers");
    if (providers == root.end() || !providers->is_array()) return std::nullopt;
    for (const nlohmann::json& item : *providers) {
        if (!item.is_object()) return std::nullopt;
        DockQuotaProvider p;
        auto id = requiredString(item, "id");
        auto name = requiredString(item, "name");
        auto color = requiredString(item, "color");
        auto status = requiredString(item, "status");
        auto displayValue = requiredString(item, "displayValue");
        if (!id || !name || !color || !status || !displayValue) return std::nullopt;
        p.id = *id;
        p.name = *name;
        p.color = *color;
        p.status = *status;
        p.displayValue = *displayValue;
        auto percent = item.find("percent");
        if (percent != item.end() && !percent->is_null()) {
            if (!percent->is_number()) return std::nullopt;
            p.percent = percent->get<double>();
        }
        state.providers.push_back(std::move(p));
    }
    return state;
}
