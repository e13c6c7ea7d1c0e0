#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

// The running program: its executable and the Info.json dictionary beside it.
class Bundle {
public:
    static Bundle& main();

    // Absolute path of the running executable (from /proc/self/exe); empty if unknown.
    const std::string& executablePath() const { return executablePath_; }
    // Directory that holds the executable, without a trailing slash.
    std::string executableDirectory() const;
    // The info dictionary; an empty object when Info.json is absent or unreadable.
    const nlohmann::json& infoDictionary() const { return info_; }
    std::optional<std::string> stringForInfoKey(const std::string& key) const;

    // For tests: a bundle rooted at another executable path.
    explicit Bundle(std::string executablePath);

private:
    std::string executablePath_;
    nlohmann::json info_;
};

}  // namespace platform
