#include "platform/graphics/Gradient.h"

#include <cmath>
#include <numbers>

#include "platform/graphics/GraphicsContext.h"
#include "platform/graphics/Path.h"

namespace platform {

void Gradient::draw(GraphicsContext& context, const Path& path, double angle) const {
    Rect b = path.bounds();
    double radians = angle * std::numbers::pi / 180;
    double dx = std::cos(radians), dy = std::sin(radians);
    // The gradient line passes through the centre and just reaches the farthest corners.
    double half = b.width() / 2 * std::fabs(dx) + b.height() / 2 * std::fabs(dy);
    Point start{b.midX() - dx * half, b.midY() - dy * half};
    Point end{b.midX() + dx * half, b.midY() + dy * half};
    context.fillPathWithLinearGradient(path, start_, start, end_, end);
}

}  // namespace platform
