#pragma once

namespace platform {

// A colour in calibrated RGB, components and alpha in 0...1 (not premultiplied).
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    static Color calibratedRGB(double red, double green, double blue, double alpha) {
        return Color{red, green, blue, alpha};
    }
    static Color white(double level, double alpha) { return Color{level, level, level, alpha}; }
    static Color black() { return Color{0, 0, 0, 1}; }
    static Color clear() { return Color{0, 0, 0, 0}; }

    Color withAlpha(double a) const { return Color{red, green, blue, a}; }
    bool operator==(const Color&) const = default;
};

}  // namespace platform
