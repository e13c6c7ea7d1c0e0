#pragma once
#include <string>

#include "platform/graphics/Color.h"

namespace platform {

// The user-interface font (Inter) by size in points and weight.
struct Font {
    enum class Weight { regular = 400, medium = 500, semibold = 600, bold = 700, heavy = 800 };

    std::string family = "Inter";
    double size = 13;
    Weight weight = Weight::regular;
    // Tabular figures ("tnum"): every digit has the same advance.
    bool monospacedDigits = false;

    static Font systemFont(double size, Weight weight = Weight::regular) {
        return Font{"Inter", size, weight, false};
    }
    static Font monospacedDigitSystemFont(double size, Weight weight = Weight::regular) {
        return Font{"Inter", size, weight, true};
    }
};

enum class TextAlignment { left, center, right };
enum class LineBreakMode { wordWrap, truncatingTail, clipping };

struct TextAttributes {
    Font font;
    Color foreground = {0, 0, 0, 1};
    TextAlignment alignment = TextAlignment::left;
    LineBreakMode lineBreakMode = LineBreakMode::wordWrap;
    // Extra space after each character, in points.
    double kerning = 0;
};

}  // namespace platform
