#include <cstdio>
#include <exception>
#include <optional>
#include <type_traits>

#include "platform/updater/ArchiveExtractor.h"
#include "platform/updater/ArchiveModule.h"

extern "C" __attribute__((visibility("default"))) long tidemarkExtractTarGz(const char* archivePath,
                                                                           const char* destination, char* message,
                                                                           size_t messageSize) {
    // Nothing may escape across the C boundary.
    std::optional<platform::Error> error;
    try {
        error = platform::ArchiveExtractor::extractTarGz(archivePath, destination);
    } catch (const std::exception& exception) {
        error = platform::ArchiveExtractor::unpackingError(exception.what());
    }
    if (!error) return 0;
    std::snprintf(message, messageSize, "%s", error->description.c_str());
    return error->code;
}

// The loader and the module agree on the call.
static_assert(std::is_same_v<decltype(&tidemarkExtractTarGz), platform::ArchiveModuleEntry>);
