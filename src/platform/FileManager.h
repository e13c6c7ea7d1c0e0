#pragma once
#include <optional>
#include <string>
#include <variant>

#include "platform/Error.h"

namespace platform {

class FileManager {
public:
    static FileManager& defaultManager();

    // The user's Application Support directory: $XDG_DATA_HOME, default ~/.local/share.
    // Created when create is true.
    std::variant<std::string, Error> applicationSupportDirectory(bool create);

    bool isExecutableFile(const std::string& path) const;
    bool fileExists(const std::string& path) const;
    // Creates the directory and its parents; an existing directory is not an error.
    std::optional<Error> createDirectory(const std::string& path, bool withIntermediateDirectories = true);

    // Writes the whole contents atomically: a temporary file beside it, fsync, rename.
    static std::optional<Error> writeAtomically(const std::string& path, const std::string& contents);
    static std::optional<std::string> readFile(const std::string& path);
};

// $XDG_CONFIG_HOME, default ~/.config.
std::string configHomeDirectory();
// $XDG_CACHE_HOME, default ~/.cache.
std::string cacheHomeDirectory();

}  // namespace platform
