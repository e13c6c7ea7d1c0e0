#pragma once
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <vector>

namespace platform::ui::ApplicationIcon {

// The application's own icon (the one the menu entry shows) drawn at pixels x pixels
// from its SVG, which is built into the program; from the icon theme when the SVG
// loader is missing. Kept for the life of the process; nullptr when neither works.
GdkPixbuf* pixbuf(int pixels);
// The sizes window switchers pick from, largest last.
std::vector<GdkPixbuf*> windowIconList();
// Its name in the icon theme.
constexpr const char* themedName = "tidemark";
// Built from data/icons/tidemark.svg.
extern const char* const svg;

}  // namespace platform::ui::ApplicationIcon
