#include "platform/graphics/GraphicsContext.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"

namespace platform {

namespace {

double radians(double degrees) { return degrees * std::numbers::pi / 180; }

void setSource(cairo_t* cr, Color c) { cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha); }

cairo_line_cap_t cairoCap(LineCap cap) {
    switch (cap) {
        case LineCap::round: return CAIRO_LINE_CAP_ROUND;
        case LineCap::square: return CAIRO_LINE_CAP_SQUARE;
        case LineCap::butt: break;
    }
    return CAIRO_LINE_CAP_BUTT;
}

void appendToCairo(cairo_t* cr, const Path& path) {
    cairo_new_path(cr);
    for (const Path::Element& e : path.elements()) {
        const Point* p = e.points;
        switch (e.kind) {
            case Path::Element::Kind::move: cairo_move_to(cr, p[0].x, p[0].y); break;
            case Path::Element::Kind::line: cairo_line_to(cr, p[0].x, p[0].y); break;
            case Path::Element::Kind::curve:
                cairo_curve_to(cr, p[0].x, p[0].y, p[1].x, p[1].y, p[2].x, p[2].y);
                break;
            case Path::Element::Kind::arc:
                // User space is y up, so increasing angles run counter-clockwise on screen.
                if (e.clockwise)
                    cairo_arc_negative(cr, p[0].x, p[0].y, e.radius, radians(e.startAngle), radians(e.endAngle));
                else
                    cairo_arc(cr, p[0].x, p[0].y, e.radius, radians(e.startAngle), radians(e.endAngle));
                break;
            case Path::Element::Kind::close: cairo_close_path(cr); break;
        }
    }
}

// One horizontal then one vertical box pass over an A8 buffer.
void boxBlur(std::vector<float>& a, std::vector<float>& tmp, int w, int h, int r) {
    if (r <= 0) return;
    float norm = 1.0f / static_cast<float>(2 * r + 1);
    for (int y = 0; y < h; ++y) {
        const float* in = &a[static_cast<size_t>(y) * w];
        float* out = &tmp[static_cast<size_t>(y) * w];
        float sum = 0;
        for (int i = -r; i <= r; ++i) sum += in[std::clamp(i, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            out[x] = sum * norm;
            sum += in[std::min(x + r + 1, w - 1)] - in[std::max(x - r, 0)];
        }
    }
    for (int x = 0; x < w; ++x) {
        float sum = 0;
        for (int i = -r; i <= r; ++i) sum += tmp[static_cast<size_t>(std::clamp(i, 0, h - 1)) * w + x];
        for (int y = 0; y < h; ++y) {
            a[static_cast<size_t>(y) * w + x] = sum * norm;
            sum += tmp[static_cast<size_t>(std::min(y + r + 1, h - 1)) * w + x] -
                   tmp[static_cast<size_t>(std::max(y - r, 0)) * w + x];
        }
    }
}

// Approximates a Gaussian of standard deviation sigma by three box passes.
void gaussianBlur(cairo_surface_t* mask, double sigma) {
    if (sigma < 0.5) return;
    int w = cairo_image_surface_get_width(mask), h = cairo_image_surface_get_height(mask);
    int stride = cairo_image_surface_get_stride(mask);
    cairo_surface_flush(mask);
    unsigned char* data = cairo_image_surface_get_data(mask);
    std::vector<float> a(static_cast<size_t>(w) * h), tmp(a.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) a[static_cast<size_t>(y) * w + x] = data[static_cast<size_t>(y) * stride + x];
    int r = std::max(1, static_cast<int>(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2)));
    for (int pass = 0; pass < 3; ++pass) boxBlur(a, tmp, w, h, r);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            data[static_cast<size_t>(y) * stride + x] =
                static_cast<unsigned char>(std::clamp(std::lround(a[static_cast<size_t>(y) * w + x]), 0L, 255L));
    cairo_surface_mark_dirty(mask);
}

struct TextLayout {
    PangoLayout* layout = nullptr;
    double xOffset = 0;
    ~TextLayout() {
        if (layout) g_object_unref(layout);
    }
};

// Builds the layout in a y-down space whose origin is the rectangle's top-left corner.
bool makeLayout(cairo_t* cr, const std::string& text, Rect rect, const TextAttributes& attrs, TextLayout& out) {
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return false;
    PangoLayout* layout = pango_cairo_create_layout(cr);
    if (!layout) return false;
    out.layout = layout;
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, attrs.font.family.c_str());
    pango_font_description_set_weight(font, static_cast<PangoWeight>(static_cast<int>(attrs.font.weight)));
    pango_font_description_set_absolute_size(font, attrs.font.size * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);

    PangoAttrList* list = pango_attr_list_new();
    if (attrs.kerning != 0)
        pango_attr_list_insert(list, pango_attr_letter_spacing_new(static_cast<int>(attrs.kerning * PANGO_SCALE)));
    if (attrs.font.monospacedDigits) pango_attr_list_insert(list, pango_attr_font_features_new("tnum"));
    pango_layout_set_attributes(layout, list);
    pango_attr_list_unref(list);

    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    PangoAlignment alignment = attrs.alignment == TextAlignment::center  ? PANGO_ALIGN_CENTER
                               : attrs.alignment == TextAlignment::right ? PANGO_ALIGN_RIGHT
                                                                         : PANGO_ALIGN_LEFT;
    int width = static_cast<int>(rect.width() * PANGO_SCALE);
    switch (attrs.lineBreakMode) {
        case LineBreakMode::wordWrap:
            pango_layout_set_width(layout, width);
            pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
            pango_layout_set_alignment(layout, alignment);
            break;
        case LineBreakMode::truncatingTail:
            // With a width and an ellipsis, each paragraph stays on one line.
            pango_layout_set_width(layout, width);
            pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
            pango_layout_set_alignment(layout, alignment);
            break;
        case LineBreakMode::clipping: {
            PangoRectangle logical;
            pango_layout_get_pixel_extents(layout, nullptr, &logical);
            double spare = rect.width() - logical.width;
            if (attrs.alignment == TextAlignment::center) out.xOffset = spare / 2;
            if (attrs.alignment == TextAlignment::right) out.xOffset = spare;
            break;
        }
    }
    return true;
}

}  // namespace

GraphicsContext::GraphicsContext(_cairo* cairo, Size size, int pixelWidth, int pixelHeight)
    : cairo_(cairo), size_(size), pixelWidth_(pixelWidth), pixelHeight_(pixelHeight) {
    cairo_identity_matrix(cairo_);
    cairo_scale(cairo_, scaleX(), -scaleY());
    cairo_translate(cairo_, 0, -size_.height);
    cairo_set_antialias(cairo_, CAIRO_ANTIALIAS_GOOD);
}

double GraphicsContext::scaleX() const { return size_.width > 0 ? pixelWidth_ / size_.width : 1; }
double GraphicsContext::scaleY() const { return size_.height > 0 ? pixelHeight_ / size_.height : 1; }

void GraphicsContext::saveGraphicsState() {
    saved_.push_back(state_);
    cairo_save(cairo_);
}

void GraphicsContext::restoreGraphicsState() {
    if (saved_.empty()) return;
    state_ = saved_.back();
    saved_.pop_back();
    cairo_restore(cairo_);
}

void GraphicsContext::setFillColor(Color color) { state_.fill = color; }
void GraphicsContext::setStrokeColor(Color color) { state_.stroke = color; }
void GraphicsContext::setShadow(std::optional<Shadow> shadow) { state_.shadow = shadow; }

template <typename DrawShape>
void GraphicsContext::paintShadow(const Shadow& shadow, DrawShape drawShape) {
    if (shadow.color.alpha <= 0) return;
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, pixelWidth_, pixelHeight_);
    if (cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(mask);
        return;
    }
    cairo_t* m = cairo_create(mask);
    cairo_matrix_t matrix;
    cairo_get_matrix(cairo_, &matrix);
    cairo_set_matrix(m, &matrix);
    drawShape(m);
    cairo_destroy(m);
    // A blur radius spreads about two standard deviations.
    double scale = (scaleX() + scaleY()) / 2;
    gaussianBlur(mask, shadow.blurRadius * scale / 2);
    cairo_save(cairo_);
    cairo_identity_matrix(cairo_);
    setSource(cairo_, shadow.color);
    // The offset is in y-up points; device rows grow downwards.
    cairo_mask_surface(cairo_, mask, shadow.offset.x * scaleX(), -shadow.offset.y * scaleY());
    cairo_restore(cairo_);
    cairo_surface_destroy(mask);
}

void GraphicsContext::fillPath(const Path& path) {
    if (state_.shadow) {
        paintShadow(*state_.shadow, [&](cairo_t* m) {
            appendToCairo(m, path);
            cairo_set_source_rgba(m, 0, 0, 0, state_.fill.alpha);
            cairo_fill(m);
        });
    }
    appendToCairo(cairo_, path);
    setSource(cairo_, state_.fill);
    cairo_fill(cairo_);
}

void GraphicsContext::strokePath(const Path& path) {
    auto configure = [&](cairo_t* cr) {
        cairo_set_line_width(cr, path.lineWidth());
        cairo_set_line_cap(cr, cairoCap(path.lineCap()));
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    };
    if (state_.shadow) {
        paintShadow(*state_.shadow, [&](cairo_t* m) {
            appendToCairo(m, path);
            configure(m);
            cairo_set_source_rgba(m, 0, 0, 0, state_.stroke.alpha);
            cairo_stroke(m);
        });
    }
    appendToCairo(cairo_, path);
    configure(cairo_);
    setSource(cairo_, state_.stroke);
    cairo_stroke(cairo_);
}

void GraphicsContext::fillPathWithLinearGradient(const Path& path, Color startColor, Point start, Color endColor,
                                                 Point end) {
    cairo_pattern_t* pattern = cairo_pattern_create_linear(start.x, start.y, end.x, end.y);
    cairo_pattern_add_color_stop_rgba(pattern, 0, startColor.red, startColor.green, startColor.blue,
                                      startColor.alpha);
    cairo_pattern_add_color_stop_rgba(pattern, 1, endColor.red, endColor.green, endColor.blue, endColor.alpha);
    appendToCairo(cairo_, path);
    cairo_set_source(cairo_, pattern);
    cairo_fill(cairo_);
    cairo_pattern_destroy(pattern);
}

bool GraphicsContext::drawText(const std::string& utf8, Rect rect, const TextAttributes& attributes) {
    auto show = [&](cairo_t* cr, Color color) {
        cairo_save(cr);
        cairo_translate(cr, rect.minX(), rect.maxY());
        cairo_scale(cr, 1, -1);
        TextLayout text;
        bool ok = makeLayout(cr, utf8, rect, attributes, text);
        if (ok) {
            if (attributes.lineBreakMode == LineBreakMode::clipping) {
                cairo_rectangle(cr, 0, 0, rect.width(), rect.height());
                cairo_clip(cr);
            }
            cairo_move_to(cr, text.xOffset, 0);
            setSource(cr, color);
            pango_cairo_show_layout(cr, text.layout);
        }
        cairo_restore(cr);
        return ok;
    };
    if (state_.shadow) {
        paintShadow(*state_.shadow, [&](cairo_t* m) { show(m, Color{0, 0, 0, attributes.foreground.alpha}); });
    }
    return show(cairo_, attributes.foreground);
}

void GraphicsContext::drawImage(const Image& image, Rect destination) { image.draw(*this, destination); }

}  // namespace platform
