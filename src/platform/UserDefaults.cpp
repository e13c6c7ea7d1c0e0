#include "platform/UserDefaults.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/FileManager.h"
#include "platform/Log.h"

namespace platform {
namespace {

const char* const base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string corruptSuffix() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += base64Alphabet[(n >> 18) & 63];
        out += base64Alphabet[(n >> 12) & 63];
        out += base64Alphabet[(n >> 6) & 63];
        out += base64Alphabet[n & 63];
    }
    if (const size_t rest = bytes.size() - i; rest > 0) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += base64Alphabet[(n >> 18) & 63];
        out += base64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? base64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned n = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            unsigned value = 0;
            if (c == '=') {
                // Padding only at the very end, at most two.
                if (i + 4 != text.size() || j < 2) return std::nullopt;
                ++padding;
            } else {
                if (padding) return std::nullopt;
                const char* found = std::char_traits<char>::find(base64Alphabet, 64, c);
                if (!found) return std::nullopt;
                value = static_cast<unsigned>(found - base64Alphabet);
            }
            n = (n << 6) | value;
        }
        out += static_cast<char>((n >> 16) & 0xFF);
        if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(n & 0xFF);
    }
    return out;
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(standardPath());
    return defaults;
}

std::string UserDefaults::standardPath() { return configHomeDirectory() + "/Tidemark/defaults.json"; }

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)), values_(nlohmann::json::object()) { load(); }

void UserDefaults::load() {
    // Writers killed mid-write leave their temporaries behind; nobody else will.
    FileManager::removeStaleTemporaries(path_);
    const auto contents = FileManager::readFile(path_);
    if (!contents) return;
    auto parsed = nlohmann::json::parse(*contents, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
        values_ = std::move(parsed);
        return;
    }
    // Keep what the user had for inspection rather than overwriting it on the next write.
    const std::string aside = path_ + ".corrupt-" + corruptSuffix();
    std::error_code error;
    std::filesystem::rename(path_, aside, error);
    log("[Tidemark] Could not read settings; moved aside to " + aside);
}

void UserDefaults::save() {
    const std::string directory = std::filesystem::path(path_).parent_path().string();
    if (!directory.empty()) FileManager::defaultManager().createDirectory(directory);
    if (auto error = FileManager::writeAtomically(path_, values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"))
        log("[Tidemark] Could not save settings: " + error->description);
}

bool UserDefaults::boolForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    return found != values_.end() && found->is_boolean() && found->get<bool>();
}

double UserDefaults::doubleForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    return found != values_.end() && found->is_number() ? found->get<double>() : 0.0;
}

std::optional<std::string> UserDefaults::dataForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end() || !found->is_object()) return std::nullopt;
    const auto data = found->find("data");
    if (data == found->end() || !data->is_string()) return std::nullopt;
    return base64Decode(data->get<std::string>());
}

bool UserDefaults::hasKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.contains(key);
}

void UserDefaults::setBool(bool value, const std::string& key) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
    save();
}

void UserDefaults::setDouble(double value, const std::string& key) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
    save();
}

void UserDefaults::setData(const std::string& bytes, const std::string& key) {
    std::lock_guard lock(mutex_);
    values_[key] = nlohmann::json{{"data", base64Encode(bytes)}};
    save();
}

void UserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key) > 0) save();
}

}  // namespace platform
