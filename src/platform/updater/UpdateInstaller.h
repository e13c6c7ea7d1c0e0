#pragma once
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform {

// The file-system and process steps of putting an unpacked update in place.
class UpdateInstaller {
public:
    // Swaps two folders of the same file system in one step (renameat2 with
    // RENAME_EXCHANGE). Where the file system cannot exchange, falls back to three
    // renames through a temporary name, putting things back when one fails.
    static std::optional<Error> exchangeFolders(const std::string& first, const std::string& second);

    // Starts the program in a session of its own, not a child we wait for: it outlives
    // this process. Succeeds once the program has been executed.
    static std::optional<Error> launchDetached(const std::string& executablePath);
};

}  // namespace platform
