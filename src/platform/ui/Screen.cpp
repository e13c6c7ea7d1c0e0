#include "platform/ui/Screen.h"

#include "platform/ui/Backend.h"

namespace platform {

namespace {
std::optional<Screen>& headlessScreen() {
    static std::optional<Screen> screen = Screen::headlessDefault();
    return screen;
}
}  // namespace

Screen Screen::headlessDefault() { return Screen{Rect{{0, 0}, {1440, 900}}, Rect{{0, 0}, {1440, 875}}}; }

std::optional<Screen> Screen::main() { return ui::Backend::current().mainScreen(); }

std::optional<Screen> Screen::headlessMainScreen() { return headlessScreen(); }

void Screen::setHeadlessMainScreen(std::optional<Screen> screen) { headlessScreen() = screen; }

}  // namespace platform
