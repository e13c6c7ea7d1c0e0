#pragma once
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform {

// Unpacks a gzip-compressed tar archive into a folder, refusing anything that could
// land outside it: absolute paths, ".." components, links pointing out of the folder,
// devices, pipes and sockets. Set-user-ID and similar mode bits are dropped.
class ArchiveExtractor {
public:
    // The destination must be an existing, empty folder. On failure it may hold part of
    // the archive; the caller removes it.
    static std::optional<Error> extractTarGz(const std::string& archivePath, const std::string& destination);
    // The one kind of error unpacking reports, wherever it runs.
    static Error unpackingError(const std::string& reason) {
        return Error{"Tidemark.Updater", 2, "The update archive could not be unpacked: " + reason};
    }

    // True for a relative path of plain components (no "..", no empty or absolute path).
    static bool isSafeRelativePath(const std::string& path);
    // True when a symbolic link at linkPath (relative, inside the folder) with the given
    // target resolves to a place inside the folder.
    static bool isSafeLinkTarget(const std::string& linkPath, const std::string& target);
};

}  // namespace platform
