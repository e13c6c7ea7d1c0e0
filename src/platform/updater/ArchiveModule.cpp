#include "platform/updater/ArchiveModule.h"

#include <dlfcn.h>

namespace platform {

std::optional<Error> extractTarGzWithModule(const std::string& modulePath, const std::string& archivePath,
                                            const std::string& destination) {
    const auto failure = [](long code, const std::string& reason) {
        return Error{"Tidemark.Updater", code, "The update archive could not be unpacked: " + reason};
    };
    // An empty name would open the program itself.
    if (modulePath.empty()) return failure(2, "no unpacking module is known.");
    // Left open once loaded: a later install uses it again, and libarchive's libraries are
    // not written to be unloaded.
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* reason = dlerror();
        return failure(2, reason ? reason : "the module “" + modulePath + "” does not load.");
    }
    auto entry = reinterpret_cast<ArchiveModuleEntry>(dlsym(module, archiveModuleEntry));
    if (!entry) return failure(2, "the module “" + modulePath + "” has no entry point.");
    char message[8192] = {};  // room for a reason that names a long path
    const long code = entry(archivePath.c_str(), destination.c_str(), message, sizeof message);
    if (code == 0) return std::nullopt;
    return Error{"Tidemark.Updater", code, message[0] ? message : "The update archive could not be unpacked."};
}

}  // namespace platform
