#pragma once
#include <memory>

#include "platform/ui/Backend.h"

// The desktop backend as a loadable module ("tidemark-desktop.so" beside the executable).
// The symbol the loader looks up: opens the display and hands out the backend, or
// answers false when GTK cannot.
inline constexpr const char* desktopModuleName = "tidemark-desktop.so";
inline constexpr const char* desktopModuleEntry = "tidemark_open_desktop_backend";
using DesktopModuleEntry = bool (*)(std::shared_ptr<platform::ui::Backend>* backend);
