// Validation of the "dockQuota" message body.
#include <cmath>
#include <limits>
#include <unordered_set>

#include "dock/DockQuotaIconController.h"
#include "dock/DockQuotaText.h"

namespace {

constexpr size_t maximumStateEntries = 3;
constexpr size_t maximumProviderEntries = 6;
constexpr size_t maximumProviders = 32;
constexpr size_t maximumNameCharacters = 40;
constexpr size_t maximumDisplayValueCharacters = 24;

const std::string* stringValue(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

}  // namespace

std::optional<bool> DockQuotaIconController::boolValue(const nlohmann::json* value) {
    if (!value) return std::nullopt;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number_unsigned()) {
        auto n = value->get<uint64_t>();
        if (n == 0 || n == 1) return n == 1;
        return std::nullopt;
    }
    if (value->is_number_integer()) {
        auto n = value->get<int64_t>();
        if (n == 0 || n == 1) return n == 1;
        return std::nullopt;
    }
    if (value->is_number_float()) {
        // Truncated towards zero: 0.5 reads as 0, 1.9 as 1.
        double t = std::trunc(value->get<double>());
        if (t == 0) return false;
        if (t == 1) return true;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<DockQuotaProvider> DockQuotaIconController::parseProvider(const nlohmann::json& object) {
    if (!object.is_object() || object.empty() || object.size() > maximumProviderEntries) return std::nullopt;
    const std::string* id = stringValue(object, "id");
    if (!id || !DockQuotaText::isIdentifier(*id)) return std::nullopt;
    const std::string* name = stringValue(object, "name");
    if (!name) return std::nullopt;
    const std::string* color = stringValue(object, "color");
    if (!color || !DockQuotaText::isHexColor(*color)) return std::nullopt;
    const std::string* status = stringValue(object, "status");
    if (!status || (*status != "ok" && *status != "not_configured" && *status != "error")) return std::nullopt;
    const std::string* displayValue = stringValue(object, "displayValue");
    if (!displayValue) return std::nullopt;

    auto trimmedName = DockQuotaText::trimmed(*name);
    auto trimmedValue = DockQuotaText::trimmed(*displayValue);
    if (!trimmedName || !trimmedValue || trimmedName->empty()) return std::nullopt;
    auto nameLength = DockQuotaText::characterCount(*trimmedName);
    auto valueLength = DockQuotaText::characterCount(*trimmedValue);
    if (!nameLength || *nameLength > maximumNameCharacters) return std::nullopt;
    if (!valueLength || *valueLength > maximumDisplayValueCharacters) return std::nullopt;

    DockQuotaProvider provider{*id, *trimmedName, *color, *status, std::nullopt, *trimmedValue};
    auto percent = object.find("percent");
    // A Boolean is not a number here, whatever its JSON library thinks.
    if (percent != object.end() && percent->is_number()) {
        double value = percent->get<double>();
        if (std::isfinite(value)) provider.percent = std::clamp(value, 0.0, 100.0);
    }
    return provider;
}

std::optional<DockQuotaState> DockQuotaIconController::parseState(const nlohmann::json& value) {
    if (!value.is_object() || value.size() > maximumStateEntries) return std::nullopt;
    auto enabledIt = value.find("enabled");
    auto enabled = boolValue(enabledIt == value.end() ? nullptr : &*enabledIt);
    if (!enabled) return std::nullopt;
    if (!*enabled) return DockQuotaState{false, "auto", {}};

    const std::string* selection = stringValue(value, "selection");
    if (!selection || (*selection != "auto" && !DockQuotaText::isIdentifier(*selection))) return std::nullopt;

    auto providersIt = value.find("providers");
    if (providersIt == value.end() || !providersIt->is_array()) return std::nullopt;
    for (const nlohmann::json& item : *providersIt)
        if (!item.is_object()) return std::nullopt;
    if (providersIt->size() > maximumProviders) return std::nullopt;

    DockQuotaState state{true, *selection, {}};
    std::unordered_set<std::string> seen;
    for (const nlohmann::json& item : *providersIt) {
        auto provider = parseProvider(item);
        if (!provider || !seen.insert(provider->id).second) continue;
        state.providers.push_back(std::move(*provider));
    }
    return state;
}
