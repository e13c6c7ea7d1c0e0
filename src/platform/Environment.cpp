#include "platform/Environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace platform {

std::optional<std::string> environmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

bool environmentEquals(const std::string& name, const std::string& value) {
    const auto current = environmentValue(name);
    return current && *current == value;
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        result.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return result;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

unsigned long long physicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize);
}

}  // namespace platform
