#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"

namespace platform {

class GraphicsContext;

// Pixels of a rendered image, row 0 at the top, RGBA not premultiplied.
struct Bitmap {
    struct Pixel {
        uint8_t r = 0, g = 0, b = 0, a = 0;
        bool operator==(const Pixel&) const = default;
    };
    int width = 0;
    int height = 0;
    std::vector<Pixel> pixels;

    // (x, y) with y counted from the TOP row.
    const Pixel& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // (x, y) in y-up coordinates scaled from a size in points, as drawing code sees it.
    const Pixel& atPoint(double x, double y, Size points) const;
};

// An image of a size in points: either described by a drawing handler that runs each
// time it is rendered, or a decoded bitmap (scaled when rendered at another size).
class Image {
public:
    using DrawingHandler = std::function<bool(GraphicsContext&, Rect)>;

    // nullptr if the bytes are not a decodable PNG. Size in points = pixel size.
    static std::shared_ptr<Image> fromPNGData(const std::string& bytes);

    Image(Size size, DrawingHandler drawingHandler);
    ~Image();
    Image(const Image&);
    Image& operator=(const Image&);

    Size size() const { return size_; }
    void setSize(Size size) { size_ = size; }
    bool isTemplate() const { return isTemplate_; }
    void setTemplate(bool isTemplate) { isTemplate_ = isTemplate; }
    bool hasDrawingHandler() const { return static_cast<bool>(drawingHandler_); }
    // What the image shows, in words (a tray item's tooltip, screen readers).
    const std::string& accessibilityDescription() const { return accessibilityDescription_; }
    void setAccessibilityDescription(std::string text) { accessibilityDescription_ = std::move(text); }

    // Renders at the given pixel size; nullopt on failure (bad size, handler false).
    std::optional<std::string> pngData(int pixelWidth, int pixelHeight) const;
    std::optional<Bitmap> bitmap(int pixelWidth, int pixelHeight) const;
    // Draws into another context's rectangle (user space).
    void draw(GraphicsContext& context, Rect destination) const;

    std::shared_ptr<Image> copy() const { return std::make_shared<Image>(*this); }

    struct Pixels;

private:
    Image() = default;

    Size size_;
    bool isTemplate_ = false;
    std::string accessibilityDescription_;
    DrawingHandler drawingHandler_;
    std::shared_ptr<const Pixels> pixels_;  // decoded bitmap, shared between copies
};

}  // namespace platform
