#include "platform/Bundle.h"

#include <filesystem>
#include <fstream>

namespace platform {
namespace {

std::string currentExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

}  // namespace

Bundle& Bundle::main() {
    static Bundle bundle(currentExecutablePath());
    return bundle;
}

Bundle::Bundle(std::string executablePath) : executablePath_(std::move(executablePath)), info_(nlohmann::json::object()) {
    if (executablePath_.empty()) return;
    std::ifstream file(executableDirectory() + "/Info.json");
    if (!file) return;
    auto parsed = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) info_ = std::move(parsed);
}

std::string Bundle::executableDirectory() const {
    return std::filesystem::path(executablePath_).parent_path().string();
}

std::optional<std::string> Bundle::stringForInfoKey(const std::string& key) const {
    const auto found = info_.find(key);
    if (found == info_.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

}  // namespace platform
