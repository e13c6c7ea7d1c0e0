#include "platform/updater/ArchiveModule.h"

#include <dlfcn.h>

#include "platform/updater/ArchiveExtractor.h"

namespace platform {

std::optional<Error> extractTarGzWithModule(const std::string& modulePath, const std::string& archivePath,
                                            const std::string& destination) {
    // An empty name would open the program itself.
    if (modulePath.empty()) return ArchiveExtractor::unpackingError("no unpacking module is known.");
    // Left open once loaded: a later install uses it again, and libarchive's libraries are
    // not written to be unloaded.
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* reason = dlerror();
        return ArchiveExtractor::unpackingError(reason ? reason : "the module “" + modulePath + "” does not load.");
    }
    auto entry = reinterpret_cast<ArchiveModuleEntry>(dlsym(module, archiveModuleEntry));
    if (!entry) return ArchiveExtractor::unpackingError("the module “" + modulePath + "” has no entry point.");
    char message[8192] = {};  // room for a reason that names a long path
    const long code = entry(archivePath.c_str(), destination.c_str(), message, sizeof message);
    if (code == 0) return std::nullopt;
    Error error = ArchiveExtractor::unpackingError("the module gave no reason.");
    error.code = code;
    if (message[0]) error.description = message;
    return error;
}

}  // namespace platform
