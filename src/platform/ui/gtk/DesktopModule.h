#pragma once
#include <memory>

#include "platform/ui/Backend.h"

// The desktop backend as a loadable module, in "modules/" beside the executable (a folder of
// its own: a shared object directly in /usr/lib/tidemark would make the package run ldconfig).
// The symbol the loader looks up: opens the display and hands out the backend, or
// answers false when GTK cannot.
inline constexpr const char* desktopModuleName = "modules/tidemark-desktop.so";
inline constexpr const char* desktopModuleEntry = "tidemark_open_desktop_backend";
using DesktopModuleEntry = bool (*)(std::shared_ptr<platform::ui::Backend>* backend);
