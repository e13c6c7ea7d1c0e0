// The drawn 512 x 512 Dock icon.
#include <cstdint>

#include "dock/DockQuotaIconController.h"
#include "dock/DockQuotaText.h"
#include "platform/graphics/Gradient.h"
#include "platform/graphics/GraphicsContext.h"
#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"

using platform::Color;
using platform::Font;
using platform::LineBreakMode;
using platform::Path;
using platform::Point;
using platform::Rect;
using platform::Size;
using platform::TextAlignment;
using platform::TextAttributes;

namespace {

constexpr double canvasSide = 512;
constexpr const char* emDash = "\u2014";

Rect insetBy(Rect r, double d) {
    return Rect{{r.minX() + d, r.minY() + d}, {r.width() - 2 * d, r.height() - 2 * d}};
}

double valueFontSize(size_t characters) {
    if (characters <= 3) return 118;
    if (characters <= 5) return 96;
    return 72;
}

void drawIcon(platform::GraphicsContext& context, Rect canvas, const DockQuotaProvider& provider) {
    Path body = Path::roundedRect(insetBy(canvas, 22), 108, 108);

    context.saveGraphicsState();
    context.setShadow(platform::Shadow{Color::calibratedRGB(0, 0, 0, 0.45), 20, Point{0, -8}});
    context.setFillColor(Color::calibratedRGB(0.055, 0.073, 0.078, 1.0));
    body.fill(context);
    context.restoreGraphicsState();

    platform::Gradient(Color::calibratedRGB(0.11, 0.15, 0.16, 1.0), Color::calibratedRGB(0.045, 0.058, 0.064, 1.0))
        .draw(context, body, -90);

    body.setLineWidth(3);
    context.setStrokeColor(Color::white(1, 0.1));
    body.stroke(context);

    const Color accent = DockQuotaIconController::color(provider.color);

    Rect ringRect = insetBy(canvas, 73);
    Path track = Path::oval(ringRect);
    track.setLineWidth(28);
    context.setStrokeColor(Color::white(1, 0.1));
    track.stroke(context);

    if (provider.percent && provider.status == "ok" && *provider.percent > 0) {
        Path arc;
        arc.appendArc(Point{ringRect.midX(), ringRect.midY()}, ringRect.width() / 2, 90,
                      90 - *provider.percent * 360 / 100, true);
        arc.setLineWidth(28);
        arc.setLineCap(platform::LineCap::round);
        context.setStrokeColor(accent);
        arc.stroke(context);
    }

    std::string name =
        DockQuotaText::prefix(DockQuotaText::uppercased(provider.name).value_or(provider.name), 12).value_or("");
    size_t nameLength = DockQuotaText::characterCount(name).value_or(0);
    TextAttributes nameStyle{Font::systemFont(nameLength > 9 ? 29 : 36, Font::Weight::semibold), accent,
                             TextAlignment::center, LineBreakMode::truncatingTail, 0};
    context.drawText(name, Rect{{96, 318}, {320, 50}}, nameStyle);

    std::string value = provider.status == "ok" ? DockQuotaText::prefix(provider.displayValue, 9).value_or("")
                                                : std::string(emDash);
    size_t valueLength = DockQuotaText::characterCount(value).value_or(0);
    TextAttributes valueStyle{Font::monospacedDigitSystemFont(valueFontSize(valueLength), Font::Weight::bold),
                              Color::white(0.96, 1.0), TextAlignment::center, LineBreakMode::truncatingTail, 0};
    context.drawText(value, Rect{{90, 184}, {332, 132}}, valueStyle);

    TextAttributes labelStyle{Font::systemFont(24, Font::Weight::bold), Color::white(1, 0.46), TextAlignment::center,
                              LineBreakMode::truncatingTail, 4};
    context.drawText("QUOTA", Rect{{126, 140}, {260, 34}}, labelStyle);
}

}  // namespace

std::shared_ptr<platform::Image> DockQuotaIconController::renderIcon(const DockQuotaProvider& provider) {
    auto image = std::make_shared<platform::Image>(
        Size{canvasSide, canvasSide}, [provider](platform::GraphicsContext& context, Rect rect) {
            drawIcon(context, rect, provider);
            return true;
        });
    image->setTemplate(false);
    // Where the icon is a tray item, its tooltip says what it shows.
    const std::string value = provider.status == "ok" ? provider.displayValue : std::string(emDash);
    image->setAccessibilityDescription(value.empty() ? provider.name : provider.name + ": " + value);
    return image;
}

Color DockQuotaIconController::color(const std::string& from) {
    const Color fallback = Color::calibratedRGB(0.56, 0.78, 1.0, 1.0);
    auto rest = DockQuotaText::droppingFirst(from);
    if (!rest || rest->empty()) return fallback;
    uint64_t value = 0;
    for (char c : *rest) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return fallback;
        if (value > (UINT64_MAX >> 4)) return fallback;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    return Color::calibratedRGB(static_cast<double>((value >> 16) & 0xff) / 255,
                                static_cast<double>((value >> 8) & 0xff) / 255,
                                static_cast<double>(value & 0xff) / 255, 1.0);
}
