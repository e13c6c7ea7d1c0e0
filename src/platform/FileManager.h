#pragma once
#include <optional>
#include <string>
#include <variant>
#include <vector>

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
    // Removes the temporaries that writeAtomically() left beside the file when a writer
    // process died mid-write (those of live processes are left alone).
    static void removeStaleTemporaries(const std::string& path);

    // The paths of a folder's entries ("." and ".." left out); empty when it cannot be
    // read. Never throws, so it is safe on any queue.
    static std::vector<std::string> directoryEntries(const std::string& path);
    // A folder only its owner may use: made with mode 0700 (parents as needed). An
    // existing one must be a real folder owned by this user; it is narrowed to 0700.
    // Refused (with an error) when it is a symbolic link or belongs to someone else.
    static std::optional<Error> createPrivateDirectory(const std::string& path);
};

// $XDG_CONFIG_HOME, default ~/.config.
std::string configHomeDirectory();
// $XDG_CACHE_HOME, default ~/.cache.
std::string cacheHomeDirectory();
// The application's folder for run-time files: $XDG_RUNTIME_DIR/Tidemark, or
// <temp dir>/Tidemark-<uid> without a runtime folder. Use it through createPrivateDirectory.
std::string runtimeDirectory();

}  // namespace platform
