#pragma once
#include <cstddef>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform {

// Unpacking needs libarchive and what it pulls in (libxml2, ICU, compressors): over a
// mebibyte of mappings that only an update install uses. They live in a module that is
// opened at the first install, so an ordinary run never maps them.
inline constexpr const char* archiveModuleName = "modules/tidemark-archive.so";
inline constexpr const char* archiveModuleEntry = "tidemarkExtractTarGz";
// A plain C call, so a module from another version still fits. Returns 0 when the
// archive was unpacked, otherwise an error code with its reason in `message`.
using ArchiveModuleEntry = long (*)(const char* archivePath, const char* destination, char* message,
                                    size_t messageSize);

// ArchiveExtractor::extractTarGz, run in the module at modulePath. A module that is
// missing or does not load is an unpacking error like any other.
std::optional<Error> extractTarGzWithModule(const std::string& modulePath, const std::string& archivePath,
                                            const std::string& destination);

}  // namespace platform
