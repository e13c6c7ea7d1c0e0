#include "platform/updater/UpdateFeedItem.h"

#include <nlohmann/json.hpp>

#include <cctype>

#include "platform/URL.h"

namespace platform {
namespace {

Error feedError(const std::string& reason) { return Error{"Tidemark.Updater", 1, "The update feed is not valid: " + reason}; }

bool isHexDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool lower = c >= 'a' && c <= 'f';
        const bool upper = c >= 'A' && c <= 'F';
        if (!digit && !lower && !upper) return false;
    }
    return true;
}

}  // namespace

std::variant<UpdateFeedItem, Error> UpdateFeedItem::parse(const std::string& text) {
    const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return feedError("it is not JSON.");
    if (!json.is_object()) return feedError("it is not a JSON object.");

    UpdateFeedItem item;
    for (auto [key, field] : {std::pair{"version", &item.version}, std::pair{"url", &item.url},
                              std::pair{"sha256", &item.sha256}}) {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_string()) return feedError(std::string("“") + key + "” is missing or not a string.");
        *field = found->get<std::string>();
    }
    if (const auto found = json.find("displayVersion"); found != json.end()) {
        if (!found->is_string()) return feedError("“displayVersion” is not a string.");
        item.displayVersion = found->get<std::string>();
    }
    if (item.displayVersion.empty()) item.displayVersion = item.version;

    if (!DottedVersion::parse(item.version)) return feedError("the version “" + item.version + "” is not dotted numbers.");
    const auto url = URL::parse(item.url);
    if (!url || (url->scheme() != "http" && url->scheme() != "https"))
        return feedError("the archive address “" + item.url + "” is not an http or https URL.");
    if (!isHexDigest(item.sha256)) return feedError("“sha256” is not 64 hexadecimal digits.");
    for (char& c : item.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return item;
}

}  // namespace platform
