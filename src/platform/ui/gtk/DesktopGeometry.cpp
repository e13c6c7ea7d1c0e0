#include "platform/ui/gtk/DesktopGeometry.h"

#include <gtk/gtk.h>

namespace platform::ui {

double desktopHeight() {
    GdkWindow* root = gdk_get_default_root_window();
    return root ? gdk_window_get_height(root) : 0;
}

Point pointerPosition() {
    GdkDisplay* display = gdk_display_get_default();
    GdkSeat* seat = display ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer) return {};
    int x = 0, y = 0;
    gdk_device_get_position(pointer, nullptr, &x, &y);
    return {static_cast<double>(x), static_cast<double>(y)};
}

Point toScreenPoint(Point gdkPoint) { return {gdkPoint.x, desktopHeight() - gdkPoint.y}; }

}  // namespace platform::ui
