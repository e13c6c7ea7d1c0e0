#pragma once
#include <cstdint>

#include "platform/Geometry.h"

namespace platform {

// Event types with the platform's numbering.
enum class EventType : int {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
};

// A set of event types: bit n stands for the type with value n.
using EventMask = uint64_t;
constexpr EventMask eventMask(EventType type) { return EventMask{1} << static_cast<int>(type); }

struct Event {
    EventType type = EventType::leftMouseDown;
    // In the receiving view's window; the headless backend uses screen coordinates.
    Point locationInWindow;

    // Where the pointer is now, in screen coordinates (y up), whatever event is handled.
    static Point mouseLocation();
    // The backend records the pointer position as it delivers events.
    static void setMouseLocation(Point location);
};

}  // namespace platform
