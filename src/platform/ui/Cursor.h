#pragma once

#include "platform/Geometry.h"

namespace platform {

struct Cursor {
    enum class Kind { arrow, resizeUpDown, resizeLeftRight, pointingHand };
    Kind kind = Kind::arrow;

    static Cursor arrow() { return {Kind::arrow}; }
    static Cursor resizeUpDown() { return {Kind::resizeUpDown}; }
    static Cursor resizeLeftRight() { return {Kind::resizeLeftRight}; }
    static Cursor pointingHand() { return {Kind::pointingHand}; }
    bool operator==(const Cursor&) const = default;
};

// A rectangle of a view (in its own coordinates) in which the pointer shows a cursor.
struct CursorRect {
    Rect rect;
    Cursor cursor;
    bool operator==(const CursorRect&) const = default;
};

}  // namespace platform
