#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "dock/DockQuotaIconController.h"
#include "platform/graphics/Image.h"

using platform::Bitmap;

namespace {

constexpr platform::Size canvas{512, 512};

Bitmap render(const DockQuotaProvider& p) {
    auto image = DockQuotaIconController::renderIcon(p);
    EXPECT_EQ(image->size(), canvas);
    auto bitmap = image->bitmap(512, 512);
    EXPECT_TRUE(bitmap);
    return bitmap ? *bitmap : Bitmap{};
}

bool near(const Bitmap::Pixel& p, int r, int g, int b, int tolerance = 12) {
    return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance;
}

// Pixels of (nearly) the colour inside a rectangle of the y-up canvas.
int countNear(const Bitmap& bm, platform::Rect rect, int r, int g, int b, int tolerance = 30) {
    int n = 0;
    for (int y = static_cast<int>(rect.minY()); y < rect.maxY(); ++y)
        for (int x = static_cast<int>(rect.minX()); x < rect.maxX(); ++x)
            if (near(bm.atPoint(x + 0.5, y + 0.5, canvas), r, g, b, tolerance)) ++n;
    return n;
}

// Height in points of the rows holding near-white pixels inside the rectangle.
int whiteInkHeight(const Bitmap& bm, platform::Rect rect) {
    int top = -1, bottom = -1;
    for (int y = static_cast<int>(rect.minY()); y < rect.maxY(); ++y)
        for (int x = static_cast<int>(rect.minX()); x < rect.maxX(); ++x) {
            auto p = bm.atPoint(x + 0.5, y + 0.5, canvas);
            if (p.r > 200 && p.g > 200 && p.b > 200) {
                if (bottom < 0) bottom = y;
                top = y;
            }
        }
    return bottom < 0 ? 0 : top - bottom + 1;
}

DockQuotaProvider make(std::string status, std::optional<double> percent, std::string value = "42%",
                       std::string color = "#FF2020", std::string name = "Claude") {
    return DockQuotaProvider{"p", std::move(name), std::move(color), std::move(status), percent, std::move(value)};
}

// Brighter than the body just inside the ring, yet only faintly: the white track.
bool isTrack(const Bitmap& bm, platform::Point p) {
    double dx = (256 - p.x) / 183 * 40, dy = (256 - p.y) / 183 * 40;
    auto ring = bm.atPoint(p.x, p.y, canvas), body = bm.atPoint(p.x + dx, p.y + dy, canvas);
    return ring.r > body.r + 10 && ring.r < body.r + 40 && std::abs(ring.r - ring.b) < 12;
}

const platform::Point threeOClock{256 + 183, 256};
const platform::Point halfPastOne{256 + 183 * std::cos(M_PI / 4), 256 + 183 * std::sin(M_PI / 4)};
const platform::Point sixOClock{256, 256 - 183};
const platform::Point nineOClock{256 - 183, 256};
const platform::Rect nameRect{{96, 318}, {320, 50}};
const platform::Rect valueRect{{90, 184}, {332, 132}};

}  // namespace

TEST(DockQuotaIconRendering, BodyRingAndArc) {
    Bitmap quarter = render(make("ok", 25));
    // Corners outside the rounded body stay clear; the body is opaque.
    EXPECT_EQ(quarter.atPoint(3, 509, canvas).a, 0);
    EXPECT_EQ(quarter.atPoint(256, 40, canvas).a, 255);
    // Lighter at the top than at the bottom.
    auto top = quarter.atPoint(256, 478, canvas), bottom = quarter.atPoint(256, 34, canvas);
    EXPECT_GT(top.g, bottom.g + 10);
    // The shadow falls below the body, not above.
    EXPECT_GT(quarter.atPoint(256, 14, canvas).a, 40);
    EXPECT_LT(quarter.atPoint(256, 498, canvas).a, quarter.atPoint(256, 14, canvas).a);

    // Track at nine and six o'clock: a faint white over the dark body.
    EXPECT_TRUE(isTrack(quarter, nineOClock));
    EXPECT_TRUE(isTrack(quarter, sixOClock));
    auto track = quarter.atPoint(nineOClock.x, nineOClock.y, canvas);
    // The 25 % arc: present from twelve to three o'clock.
    EXPECT_TRUE(near(quarter.atPoint(halfPastOne.x, halfPastOne.y, canvas), 255, 32, 32, 20));
    EXPECT_TRUE(near(quarter.atPoint(threeOClock.x, threeOClock.y, canvas), 255, 32, 32, 20));
    EXPECT_TRUE(near(quarter.atPoint(256, 256 + 183, canvas), 255, 32, 32, 20));
    EXPECT_FALSE(near(quarter.atPoint(sixOClock.x, sixOClock.y, canvas), 255, 32, 32, 60));

    Bitmap half = render(make("ok", 50));
    EXPECT_TRUE(near(half.atPoint(threeOClock.x, threeOClock.y - 60, canvas), 255, 32, 32, 20));
    EXPECT_FALSE(near(half.atPoint(nineOClock.x, nineOClock.y, canvas), 255, 32, 32, 60));
    Bitmap full = render(make("ok", 100));
    EXPECT_TRUE(near(full.atPoint(nineOClock.x, nineOClock.y, canvas), 255, 32, 32, 20));
    EXPECT_TRUE(near(full.atPoint(sixOClock.x, sixOClock.y, canvas), 255, 32, 32, 20));

    for (const auto& p : {make("error", 80), make("ok", 0), make("ok", std::nullopt), make("not_configured", 60)}) {
        SCOPED_TRACE(p.status);
        Bitmap noArc = render(p);
        EXPECT_FALSE(near(noArc.atPoint(halfPastOne.x, halfPastOne.y, canvas), 255, 32, 32, 60));
        EXPECT_FALSE(near(noArc.atPoint(threeOClock.x, threeOClock.y, canvas), 255, 32, 32, 60));
        EXPECT_TRUE(isTrack(noArc, halfPastOne));
        EXPECT_TRUE(isTrack(noArc, threeOClock));
        EXPECT_TRUE(near(noArc.atPoint(threeOClock.x, threeOClock.y, canvas), track.r, track.g, track.b, 8));
        // The name is drawn in the accent colour whatever the status.
        EXPECT_GT(countNear(noArc, nameRect, 255, 32, 32), 150);
    }
}

TEST(DockQuotaIconRendering, TextColoursAndSizes) {
    Bitmap bm = render(make("ok", 25));
    EXPECT_GT(countNear(bm, nameRect, 255, 32, 32), 150);
    // Nothing of the accent colour in the value line (its corners reach into the ring).
    EXPECT_EQ(countNear(bm, platform::Rect{{150, 184}, {212, 132}}, 255, 32, 32, 20), 0);
    // "QUOTA" in dimmed white below the value.
    Bitmap::Pixel brightest{};
    for (int y = 140; y < 174; ++y)
        for (int x = 126; x < 386; ++x) {
            auto p = bm.atPoint(x + 0.5, y + 0.5, canvas);
            if (p.r > brightest.r) brightest = p;
        }
    EXPECT_GT(brightest.r, 100);
    EXPECT_LT(brightest.r, 160);

    // A malformed stored colour falls back to (0.56, 0.78, 1.0).
    Bitmap fallback = render(make("ok", 25, "42%", "oops"));
    EXPECT_TRUE(near(fallback.atPoint(halfPastOne.x, halfPastOne.y, canvas), 143, 199, 255, 12));
    EXPECT_GT(countNear(fallback, nameRect, 143, 199, 255), 150);

    // Three characters are drawn larger than six.
    int three = whiteInkHeight(render(make("ok", 25, "123")), valueRect);
    int six = whiteInkHeight(render(make("ok", 25, "123456")), valueRect);
    int nine = whiteInkHeight(render(make("ok", 25, "123456789012")), valueRect);
    EXPECT_GT(three, 70);
    EXPECT_GT(three, six * 14 / 10);
    EXPECT_NEAR(six, nine, 3);
    // Only status "ok" shows the value; otherwise a dash, which is short and flat.
    int dash = whiteInkHeight(render(make("error", 25, "123")), valueRect);
    EXPECT_GT(dash, 3);
    EXPECT_LT(dash, 25);
}

TEST(DockQuotaIconRendering, ColourStrings) {
    auto c = DockQuotaIconController::color("#FF8000");
    EXPECT_DOUBLE_EQ(c.red, 1.0);
    EXPECT_DOUBLE_EQ(c.green, 128.0 / 255);
    EXPECT_DOUBLE_EQ(c.blue, 0.0);
    EXPECT_EQ(DockQuotaIconController::color("#aBcDeF"), DockQuotaIconController::color("#ABCDEF"));
    const platform::Color fallback{0.56, 0.78, 1.0, 1.0};
    EXPECT_EQ(DockQuotaIconController::color(""), fallback);
    EXPECT_EQ(DockQuotaIconController::color("#"), fallback);
    EXPECT_EQ(DockQuotaIconController::color("#12345g"), fallback);
    EXPECT_EQ(DockQuotaIconController::color("#1ffffffffffffffff"), fallback);  // past 64 bits
    // Only the first character is dropped, whatever it is; higher bits are ignored.
    EXPECT_EQ(DockQuotaIconController::color("x0000ff"), (platform::Color{0, 0, 1, 1}));
    EXPECT_EQ(DockQuotaIconController::color("#ff0000ff"), (platform::Color{0, 0, 1, 1}));
}
