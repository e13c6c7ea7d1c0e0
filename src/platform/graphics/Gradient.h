#pragma once
#include "platform/graphics/Color.h"

namespace platform {

class GraphicsContext;
class Path;

// A two-colour linear gradient.
class Gradient {
public:
    Gradient(Color start, Color end) : start_(start), end_(end) {}
    Color startColor() const { return start_; }
    Color endColor() const { return end_; }
    // Fills the path, the gradient running across its bounds at the angle (degrees,
    // counter-clockwise from the x axis; -90 puts the start colour at the top).
    void draw(GraphicsContext& context, const Path& path, double angle) const;

private:
    Color start_;
    Color end_;
};

}  // namespace platform
