#pragma once
#include "platform/Geometry.h"

namespace platform::ui {

// GDK measures the desktop from its top left, y down; our events and screens use y up.
double desktopHeight();
// The pointer, in GDK's coordinates.
Point pointerPosition();
// A GDK point as a screen point (y up).
Point toScreenPoint(Point gdkPoint);

}  // namespace platform::ui
