#include "platform/ui/BackendSelection.h"

#include <cstdio>
#include <string>

#include "platform/Environment.h"
#include "platform/ui/Backend.h"
#include "platform/ui/headless/HeadlessBackend.h"
#ifdef TIDEMARK_HAS_DESKTOP
#include "platform/ui/gtk/DesktopBackend.h"
#endif

namespace platform::ui {

bool installBackendForEnvironment() {
    const std::string choice = platform::environmentValue("TIDEMARK_UI").value_or("");
    if (choice == "headless") {
        Backend::install(std::make_shared<HeadlessBackend>());
        return true;
    }
#ifdef TIDEMARK_HAS_DESKTOP
    if (auto desktop = DesktopBackend::open()) {
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
