#pragma once
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

// Settings kept in one JSON file, rewritten atomically on every change. A Boolean is a
// JSON Boolean, a double a JSON number, raw data {"data": "<base64>"}.
class UserDefaults {
public:
    // $XDG_CONFIG_HOME/Tidemark/defaults.json (default ~/.config).
    static UserDefaults& standard();
    static std::string standardPath();

    explicit UserDefaults(std::string path);

    bool boolForKey(const std::string& key) const;      // absent or not Boolean: false
    double doubleForKey(const std::string& key) const;  // absent or not a number: 0
    std::optional<std::string> dataForKey(const std::string& key) const;
    bool hasKey(const std::string& key) const;

    void setBool(bool value, const std::string& key);
    void setDouble(double value, const std::string& key);
    void setData(const std::string& bytes, const std::string& key);
    void removeObject(const std::string& key);

    const std::string& path() const { return path_; }

private:
    void load();
    void save();

    std::string path_;
    mutable std::mutex mutex_;
    nlohmann::json values_;
};

std::string base64Encode(const std::string& bytes);
std::optional<std::string> base64Decode(const std::string& text);

}  // namespace platform
