// The entry the application looks up after loading this module.
#include "platform/ui/gtk/DesktopModule.h"

#include "platform/ui/gtk/DesktopBackend.h"

extern "C" __attribute__((visibility("default"))) bool tidemark_open_desktop_backend(
    std::shared_ptr<platform::ui::Backend>* backend) {
    auto desktop = platform::ui::DesktopBackend::open();
    if (!desktop) return false;
    *backend = std::move(desktop);
    return true;
}
