#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"

struct _cairo;

namespace platform {

class Path;
class Image;

// A drop shadow: colour, blur radius in points, offset in points (y up).
struct Shadow {
    Color color = {0, 0, 0, 1.0 / 3};
    double blurRadius = 0;
    Point offset;
};

// Drawing state for one render: user space in points with y up and the origin at the
// bottom left, mapped onto a pixel surface.
class GraphicsContext {
public:
    // Wraps a Cairo context whose surface is pixelWidth x pixelHeight; user space becomes
    // `size` points, y up.
    GraphicsContext(_cairo* cairo, Size size, int pixelWidth, int pixelHeight);
    GraphicsContext(const GraphicsContext&) = delete;
    GraphicsContext& operator=(const GraphicsContext&) = delete;

    Size size() const { return size_; }
    // Pixels per point along x and y.
    double scaleX() const;
    double scaleY() const;

    void saveGraphicsState();
    void restoreGraphicsState();

    void setFillColor(Color color);
    void setStrokeColor(Color color);
    void setShadow(std::optional<Shadow> shadow);

    void fillPath(const Path& path);
    void strokePath(const Path& path);
    // Fills the path with a linear pattern from `start` to `end` (user space).
    void fillPathWithLinearGradient(const Path& path, Color startColor, Point start, Color endColor, Point end);
    // Lays the text out from the top of the rectangle; one line, or wrapped lines for
    // wordWrap. Returns false if the text could not be laid out.
    bool drawText(const std::string& utf8, Rect rect, const TextAttributes& attributes);
    void drawImage(const Image& image, Rect destination);

    _cairo* cairo() const { return cairo_; }

private:
    struct State {
        Color fill = Color::black();
        Color stroke = Color::black();
        std::optional<Shadow> shadow;
    };
    // Paints the shadow of whatever `drawShape` marks in an alpha mask.
    template <typename DrawShape>
    void paintShadow(const Shadow& shadow, DrawShape drawShape);
    void applyPath(const Path& path);

    _cairo* cairo_;
    Size size_;
    int pixelWidth_;
    int pixelHeight_;
    State state_;
    std::vector<State> saved_;
};

}  // namespace platform
