#pragma once
#include <map>
#include <optional>
#include <string>

namespace platform {

// The value of an environment variable at the moment of the call.
std::optional<std::string> environmentValue(const std::string& name);

// True when the variable is present and exactly equal to value.
bool environmentEquals(const std::string& name, const std::string& value);

// A copy of the whole process environment.
std::map<std::string, std::string> processEnvironment();

// The current user's home directory ($HOME, else the password database).
std::string homeDirectory();

// Installed physical memory in bytes.
unsigned long long physicalMemory();

}  // namespace platform
