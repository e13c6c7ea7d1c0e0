#include "platform/graphics/Image.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graphics/GraphicsContext.h"

namespace platform {

struct Image::Pixels {
    explicit Pixels(cairo_surface_t* s) : surface(s) {}
    ~Pixels() { cairo_surface_destroy(surface); }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;
    cairo_surface_t* surface;
};

namespace {

struct ReadCursor {
    const std::string* bytes;
    size_t offset = 0;
};

cairo_status_t readFromString(void* closure, unsigned char* data, unsigned int length) {
    auto* cursor = static_cast<ReadCursor*>(closure);
    if (cursor->offset + length > cursor->bytes->size()) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, cursor->bytes->data() + cursor->offset, length);
    cursor->offset += length;
    return CAIRO_STATUS_SUCCESS;
}

cairo_status_t appendToString(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// Cairo refuses surfaces past 32767 pixels a side; keep well inside that.
constexpr int maximumPixelSide = 16384;

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfaceHandle = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

}  // namespace

const Bitmap::Pixel& Bitmap::atPoint(double x, double y, Size points) const {
    int px = static_cast<int>(std::floor(x * width / points.width));
    int py = static_cast<int>(std::floor((points.height - y) * height / points.height));
    px = std::clamp(px, 0, width - 1);
    py = std::clamp(py, 0, height - 1);
    return at(px, py);
}

std::shared_ptr<Image> Image::fromPNGData(const std::string& bytes) {
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 8 || std::memcmp(bytes.data(), signature, 8) != 0) return nullptr;
    ReadCursor cursor{&bytes};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readFromString, &cursor);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    std::shared_ptr<Image> image(new Image());
    image->pixels_ = std::make_shared<Pixels>(surface);
    image->size_ = Size{static_cast<double>(cairo_image_surface_get_width(surface)),
                        static_cast<double>(cairo_image_surface_get_height(surface))};
    return image;
}

Image::Image(Size size, DrawingHandler drawingHandler) : size_(size), drawingHandler_(std::move(drawingHandler)) {}
Image::~Image() = default;
Image::Image(const Image&) = default;
Image& Image::operator=(const Image&) = default;

namespace {

// Renders the image into a new ARGB surface of the pixel size; null on failure.
SurfaceHandle renderSurface(const Image& image, const Image::DrawingHandler& handler, cairo_surface_t* bitmap,
                            int pixelWidth, int pixelHeight) {
    if (pixelWidth <= 0 || pixelHeight <= 0 || pixelWidth > maximumPixelSide || pixelHeight > maximumPixelSide)
        return nullptr;
    Size size = image.size();
    if (!(size.width > 0) || !(size.height > 0) || !std::isfinite(size.width) || !std::isfinite(size.height))
        return nullptr;
    SurfaceHandle surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixelWidth, pixelHeight));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    cairo_t* cr = cairo_create(surface.get());
    bool ok = true;
    if (handler) {
        GraphicsContext context(cr, size, pixelWidth, pixelHeight);
        ok = handler(context, Rect{{0, 0}, size});
    } else if (bitmap) {
        double sx = static_cast<double>(pixelWidth) / cairo_image_surface_get_width(bitmap);
        double sy = static_cast<double>(pixelHeight) / cairo_image_surface_get_height(bitmap);
        cairo_scale(cr, sx, sy);
        cairo_set_source_surface(cr, bitmap, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        cairo_paint(cr);
    } else {
        ok = false;
    }
    ok = ok && cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    if (!ok) return nullptr;
    cairo_surface_flush(surface.get());
    return surface;
}

}  // namespace

std::optional<std::string> Image::pngData(int pixelWidth, int pixelHeight) const {
    SurfaceHandle surface =
        renderSurface(*this, drawingHandler_, pixels_ ? pixels_->surface : nullptr, pixelWidth, pixelHeight);
    if (!surface) return std::nullopt;
    std::string out;
    if (cairo_surface_write_to_png_stream(surface.get(), appendToString, &out) != CAIRO_STATUS_SUCCESS)
        return std::nullopt;
    return out;
}

std::optional<Bitmap> Image::bitmap(int pixelWidth, int pixelHeight) const {
    SurfaceHandle surface =
        renderSurface(*this, drawingHandler_, pixels_ ? pixels_->surface : nullptr, pixelWidth, pixelHeight);
    if (!surface) return std::nullopt;
    Bitmap result;
    result.width = pixelWidth;
    result.height = pixelHeight;
    result.pixels.resize(static_cast<size_t>(pixelWidth) * pixelHeight);
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < pixelHeight; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
        for (int x = 0; x < pixelWidth; ++x) {
            uint32_t argb = row[x];
            uint8_t a = argb >> 24;
            auto unpremultiply = [a](uint32_t c) -> uint8_t {
                return a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
            };
            result.pixels[static_cast<size_t>(y) * pixelWidth + x] =
                Bitmap::Pixel{unpremultiply((argb >> 16) & 0xff), unpremultiply((argb >> 8) & 0xff),
                              unpremultiply(argb & 0xff), a};
        }
    }
    return result;
}

void Image::draw(GraphicsContext& context, Rect destination) const {
    if (!(destination.width() > 0) || !(destination.height() > 0)) return;
    int pw = std::max(1, static_cast<int>(std::lround(destination.width() * context.scaleX())));
    int ph = std::max(1, static_cast<int>(std::lround(destination.height() * context.scaleY())));
    SurfaceHandle surface = renderSurface(*this, drawingHandler_, pixels_ ? pixels_->surface : nullptr, pw, ph);
    if (!surface) return;
    cairo_t* cr = context.cairo();
    cairo_save(cr);
    // User space is y up; the bitmap's first row belongs at the top of the destination.
    cairo_translate(cr, destination.minX(), destination.maxY());
    cairo_scale(cr, destination.width() / pw, -destination.height() / ph);
    cairo_rectangle(cr, 0, 0, pw, ph);
    cairo_clip(cr);
    cairo_set_source_surface(cr, surface.get(), 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
}

}  // namespace platform
