#pragma once
#include <optional>

#include "platform/Geometry.h"

namespace platform {

// A display (the UI backend answers main()). The headless backend has one main screen of 1440 × 900 points whose
// visible frame (without the menu bar) is 1440 × 875; tests can change or remove it.
struct Screen {
    Rect frame;
    // The part not covered by the menu bar and the Dock.
    Rect visibleFrame;

    static std::optional<Screen> main();

    // Headless: the main screen from now on (absent: no screen at all).
    static void setHeadlessMainScreen(std::optional<Screen> screen);
    static std::optional<Screen> headlessMainScreen();
    static Screen headlessDefault();
};

}  // namespace platform
