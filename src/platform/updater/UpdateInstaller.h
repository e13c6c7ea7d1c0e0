#pragma once
#include <map>
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
    // this process. Succeeds once the program has been executed. Its environment is ours
    // with the relaunch values below and SingleInstance::relaunchVariable set.
    static std::optional<Error> launchDetached(const std::string& executablePath);

    // Values the relaunched program gets whatever our own environment says (the process
    // entry puts the UI backend in use here, so the new version runs on the same one).
    // Main thread.
    static void setRelaunchValue(const std::string& name, const std::string& value);
    static const std::map<std::string, std::string>& relaunchValues();
};

}  // namespace platform
