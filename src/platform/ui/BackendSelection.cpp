#include "platform/ui/BackendSelection.h"

#include <cstdio>
#include <string>

#include "platform/Environment.h"
#include "platform/ui/Backend.h"
#include "platform/ui/headless/HeadlessBackend.h"
#ifdef TIDEMARK_HAS_DESKTOP
#include <dlfcn.h>

#include "platform/Bundle.h"
#include "platform/ui/gtk/DesktopModule.h"
#endif

namespace platform::ui {

#ifdef TIDEMARK_HAS_DESKTOP
namespace {

// Loaded only when the desktop is wanted: GTK and WebKit stay out of a headless process.
// A module that is missing or does not load means no desktop, said once on stderr.
std::shared_ptr<Backend> openDesktopModule() {
    const std::string path = platform::Bundle::main().executableDirectory() + "/" + desktopModuleName;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "Tidemark: the desktop backend does not load: %s\n", dlerror());
        return nullptr;
    }
    auto entry = reinterpret_cast<DesktopModuleEntry>(dlsym(module, desktopModuleEntry));
    std::shared_ptr<Backend> backend;
    if (entry && entry(&backend)) return backend;  // the module stays loaded for the process
    dlclose(module);
    return nullptr;
}

}  // namespace
#endif

bool installBackendForEnvironment() {
    const std::string choice = platform::environmentValue("TIDEMARK_UI").value_or("");
    if (choice == "headless") {
        Backend::install(std::make_shared<HeadlessBackend>());
        return true;
    }
#ifdef TIDEMARK_HAS_DESKTOP
    if (auto desktop = openDesktopModule()) {
        Backend::install(std::move(desktop));
        return true;
    }
    if (choice == "desktop") {
        std::fputs("Tidemark: TIDEMARK_UI=desktop, but the display cannot be opened (is DISPLAY or WAYLAND_DISPLAY set?)\n",
                   stderr);
        return false;
    }
#else
    if (choice == "desktop") {
        std::fputs("Tidemark: TIDEMARK_UI=desktop, but this build has no desktop backend\n", stderr);
        return false;
    }
#endif
    Backend::install(std::make_shared<HeadlessBackend>());
    return true;
}

}  // namespace platform::ui
