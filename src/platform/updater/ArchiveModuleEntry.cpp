#include <cstdio>
#include <exception>
#include <type_traits>

#include "platform/updater/ArchiveExtractor.h"
#include "platform/updater/ArchiveModule.h"

extern "C" __attribute__((visibility("default"))) long tidemarkExtractTarGz(const char* archivePath,
                                                                           const char* destination, char* message,
                                                                           size_t messageSize) {
    // Nothing may escape across the C boundary.
    try {
        const auto error = platform::ArchiveExtractor::extractTarGz(archivePath, destination);
        if (!error) return 0;
        std::snprintf(message, messageSize, "%s", error->description.c_str());
        return error->code != 0 ? error->code : 2;
    } catch (const std::exception& exception) {
        std::snprintf(message, messageSize, "The update archive could not be unpacked: %s", exception.what());
        return 2;
    }
}

// The loader and the module agree on the call.
static_assert(std::is_same_v<decltype(&tidemarkExtractTarGz), platform::ArchiveModuleEntry>);
