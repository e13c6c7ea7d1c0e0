#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/graphics/DockTileWriter.h"
#include "platform/graphics/Gradient.h"
#include "platform/graphics/GraphicsContext.h"
#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"
#include "support/TestSupport.h"

using namespace platform;

namespace {

Bitmap draw(Size size, std::function<void(GraphicsContext&)> body, int scale = 1) {
    Image image(size, [&](GraphicsContext& c, Rect) {
        body(c);
        return true;
    });
    auto bm = image.bitmap(static_cast<int>(size.width) * scale, static_cast<int>(size.height) * scale);
    EXPECT_TRUE(bm);
    return bm ? *bm : Bitmap{};
}

// Columns [first, last] holding ink of any colour in the pixel rows [top, bottom).
std::pair<int, int> inkColumns(const Bitmap& bm, int top = 0, int bottom = -1) {
    if (bottom < 0) bottom = bm.height;
    int first = -1, last = -1;
    for (int x = 0; x < bm.width; ++x)
        for (int y = top; y < bottom; ++y)
            if (bm.at(x, y).a > 100) {
                if (first < 0) first = x;
                last = x;
                break;
            }
    return {first, last};
}

int firstInkRow(const Bitmap& bm) {
    for (int y = 0; y < bm.height; ++y)
        for (int x = 0; x < bm.width; ++x)
            if (bm.at(x, y).a > 100) return y;
    return -1;
}

}  // namespace

TEST(Graphics, PNGDataRoundTripAndFailures) {
    Image red(Size{4, 2}, [](GraphicsContext& c, Rect r) {
        c.setFillColor(Color{1, 0, 0, 1});
        Path::rect(Rect{{0, 0}, {r.width() / 2, r.height()}}).fill(c);  // left half
        return true;
    });
    auto png = red.pngData(40, 20);
    ASSERT_TRUE(png);
    auto decoded = Image::fromPNGData(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), (Size{40, 20}));
    auto bm = decoded->bitmap(8, 4);  // a decoded bitmap scales
    ASSERT_TRUE(bm);
    EXPECT_EQ(bm->at(1, 1), (Bitmap::Pixel{255, 0, 0, 255}));
    EXPECT_EQ(bm->at(6, 1).a, 0);
    auto copy = decoded->copy();
    copy->setTemplate(true);
    EXPECT_FALSE(decoded->isTemplate());
    EXPECT_TRUE(copy->bitmap(40, 20));

    EXPECT_EQ(Image::fromPNGData(""), nullptr);
    EXPECT_EQ(Image::fromPNGData("not a png at all"), nullptr);
    EXPECT_EQ(Image::fromPNGData(png->substr(0, png->size() / 2)), nullptr);  // truncated
    EXPECT_FALSE(red.pngData(0, 10));
    EXPECT_FALSE(red.pngData(-1, 10));
    EXPECT_FALSE(red.pngData(100000, 10));
    Image failing(Size{4, 4}, [](GraphicsContext&, Rect) { return false; });
    EXPECT_FALSE(failing.pngData(4, 4));
    Image empty(Size{0, 4}, [](GraphicsContext&, Rect) { return true; });
    EXPECT_FALSE(empty.pngData(4, 4));
}

TEST(Graphics, YUpPathsArcsAndGradients) {
    // The origin is at the bottom left.
    Bitmap bm = draw(Size{100, 100}, [](GraphicsContext& c) {
        c.setFillColor(Color{0, 0, 1, 1});
        Path::rect(Rect{{0, 0}, {10, 10}}).fill(c);
    });
    EXPECT_EQ(bm.at(5, 95).b, 255);
    EXPECT_EQ(bm.at(5, 5).a, 0);

    // Clockwise from twelve o'clock to three: the upper-right quarter only.
    Bitmap arc = draw(Size{100, 100}, [](GraphicsContext& c) {
        Path p;
        p.appendArc(Point{50, 50}, 40, 90, 0, true);
        p.setLineWidth(6);
        c.setStrokeColor(Color{0, 1, 0, 1});
        p.stroke(c);
    });
    EXPECT_EQ(arc.atPoint(50 + 28.3, 50 + 28.3, {100, 100}).a, 255);
    EXPECT_EQ(arc.atPoint(50 - 28.3, 50 + 28.3, {100, 100}).a, 0);
    EXPECT_EQ(arc.atPoint(50 + 28.3, 50 - 28.3, {100, 100}).a, 0);
    // The same angles counter-clockwise take the other three quarters.
    Bitmap ccw = draw(Size{100, 100}, [](GraphicsContext& c) {
        Path p;
        p.appendArc(Point{50, 50}, 40, 90, 0, false);
        p.setLineWidth(6);
        c.setStrokeColor(Color{0, 1, 0, 1});
        p.stroke(c);
    });
    EXPECT_EQ(ccw.atPoint(50 + 28.3, 50 + 28.3, {100, 100}).a, 0);
    EXPECT_EQ(ccw.atPoint(50 - 28.3, 50 - 28.3, {100, 100}).a, 255);
    // Round caps reach past the end point; butt caps do not.
    auto capped = [](LineCap cap) {
        return draw(Size{100, 100}, [cap](GraphicsContext& c) {
            Path p;
            p.appendArc(Point{50, 50}, 40, 90, 0, true);
            p.setLineWidth(10);
            p.setLineCap(cap);
            c.setStrokeColor(Color{0, 1, 0, 1});
            p.stroke(c);
        });
    };
    EXPECT_GT(capped(LineCap::round).atPoint(90, 47, {100, 100}).a, 200);
    EXPECT_EQ(capped(LineCap::butt).atPoint(90, 47, {100, 100}).a, 0);

    // -90 degrees: the start colour at the top.
    Bitmap gradient = draw(Size{50, 100}, [](GraphicsContext& c) {
        Gradient(Color{1, 1, 1, 1}, Color{0, 0, 0, 1}).draw(c, Path::roundedRect(Rect{{0, 0}, {50, 100}}, 10, 10), -90);
    });
    EXPECT_GT(gradient.at(25, 2).r, 240);
    EXPECT_LT(gradient.at(25, 97).r, 15);
    EXPECT_NEAR(gradient.at(25, 50).r, 128, 8);
    EXPECT_EQ(gradient.at(0, 0).a, 0);  // clipped to the rounded corner
}

TEST(Graphics, ShadowFallsByItsOffsetAndStaysInsideItsSavedState) {
    auto shadowed = [](bool restoreBeforeSecond) {
        return draw(Size{100, 100}, [restoreBeforeSecond](GraphicsContext& c) {
            c.saveGraphicsState();
            c.setShadow(Shadow{Color{0, 0, 0, 1}, 4, Point{0, -20}});
            c.setFillColor(Color{1, 1, 1, 1});
            Path::rect(Rect{{30, 40}, {40, 40}}).fill(c);
            if (restoreBeforeSecond) c.restoreGraphicsState();
            Path::rect(Rect{{0, 60}, {10, 10}}).fill(c);
            if (!restoreBeforeSecond) c.restoreGraphicsState();
        });
    };
    Bitmap bm = shadowed(true);
    EXPECT_EQ(bm.atPoint(50, 60, {100, 100}).r, 255);  // the shape itself
    EXPECT_GT(bm.atPoint(50, 30, {100, 100}).a, 200);  // shadow 20 below
    EXPECT_LT(bm.atPoint(50, 30, {100, 100}).r, 30);
    EXPECT_EQ(bm.atPoint(50, 85, {100, 100}).a, 0);    // nothing above
    // Blurred edge: partly transparent around the shadow's lower border.
    auto edge = bm.atPoint(50, 20, {100, 100}).a;
    EXPECT_GT(edge, 40);
    EXPECT_LT(edge, 220);
    // After the restore the second fill has no shadow (and the fill colour is back to
    // black); without the restore it has both.
    EXPECT_EQ(bm.atPoint(5, 65, {100, 100}), (Bitmap::Pixel{0, 0, 0, 255}));
    EXPECT_EQ(bm.atPoint(5, 45, {100, 100}).a, 0);
    Bitmap kept = shadowed(false);
    EXPECT_EQ(kept.atPoint(5, 65, {100, 100}).r, 255);
    EXPECT_GT(kept.atPoint(5, 45, {100, 100}).a, 150);
    EXPECT_GT(draw(Size{100, 100}, [](GraphicsContext& c) {
                  c.setShadow(Shadow{Color{0, 0, 0, 1}, 0, Point{0, -20}});
                  c.setFillColor(Color{1, 1, 1, 1});
                  Path::rect(Rect{{30, 40}, {40, 40}}).fill(c);
              }).atPoint(50, 30, {100, 100}).a, 250);
}

TEST(Graphics, TextLayout) {
    TextAttributes style{Font::systemFont(20, Font::Weight::bold), Color{1, 1, 1, 1}, TextAlignment::center,
                         LineBreakMode::truncatingTail, 0};
    // Laid out from the top of the rectangle: the ink starts near its top edge.
    Bitmap top = draw(Size{200, 100}, [&](GraphicsContext& c) { c.drawText("HEY", Rect{{0, 0}, {200, 80}}, style); });
    int row = firstInkRow(top);
    EXPECT_GE(row, 20);
    EXPECT_LT(row, 20 + 12);
    // Centred.
    auto [first, last] = inkColumns(top);
    EXPECT_NEAR((first + last) / 2.0, 100, 3);
    // A long text is cut at the tail and stays inside the rectangle, on one line.
    Bitmap longText = draw(Size{200, 100}, [&](GraphicsContext& c) {
        c.drawText("A VERY LONG PROVIDER NAME INDEED", Rect{{50, 0}, {100, 100}}, style);
    });
    auto [lf, ll] = inkColumns(longText);
    EXPECT_GE(lf, 49);
    EXPECT_LE(ll, 151);
    int lines = 0;
    bool inInk = false;
    for (int y = 0; y < 100; ++y) {
        bool any = false;
        for (int x = 0; x < 200; ++x) any = any || longText.at(x, y).a > 100;
        if (any && !inInk) ++lines;
        inInk = any;
    }
    EXPECT_EQ(lines, 1);
    // Kerning spreads the letters.
    TextAttributes kerned = style;
    kerned.kerning = 6;
    Bitmap spread = draw(Size{200, 100}, [&](GraphicsContext& c) { c.drawText("QUOTA", Rect{{0, 0}, {200, 80}}, kerned); });
    Bitmap tight = draw(Size{200, 100}, [&](GraphicsContext& c) { c.drawText("QUOTA", Rect{{0, 0}, {200, 80}}, style); });
    auto [sf, sl] = inkColumns(spread);
    auto [tf, tl] = inkColumns(tight);
    EXPECT_GT(sl - sf, (tl - tf) + 18);
    // Tabular digits: "11" and "00" take the same width.
    TextAttributes digits{Font::monospacedDigitSystemFont(40, Font::Weight::bold), Color{1, 1, 1, 1},
                          TextAlignment::left, LineBreakMode::truncatingTail, 0};
    auto width = [&](const char* text) {
        // Left aligned: the advance shows in where a following marker starts.
        Bitmap bm = draw(Size{300, 60}, [&](GraphicsContext& c) {
            c.drawText(std::string(text) + "|", Rect{{0, 0}, {300, 60}}, digits);
        });
        return inkColumns(bm).second;
    };
    EXPECT_NEAR(width("11"), width("00"), 1);
    EXPECT_FALSE(draw(Size{10, 10}, [&](GraphicsContext& c) {
                     EXPECT_FALSE(c.drawText(std::string("\xff\xfe", 2), Rect{{0, 0}, {10, 10}}, style));
                 }).pixels.empty());
}

TEST(Graphics, DockTileWriterPath) {
    testsupport::TemporaryDirectory directory;
    {
        testsupport::ScopedEnvironment runtime("XDG_RUNTIME_DIR", directory.path().c_str());
        EXPECT_EQ(DockTileWriter::path(), directory.path() + "/Tidemark/dock-tile.png");
    }
    {
        testsupport::ScopedEnvironment runtime("XDG_RUNTIME_DIR", nullptr);
        testsupport::ScopedEnvironment temp("TMPDIR", directory.path().c_str());
        std::string path = DockTileWriter::path();
        EXPECT_EQ(path.rfind(directory.path() + "/Tidemark-", 0), 0u) << path;
        Image image(Size{512, 512}, [](GraphicsContext& c, Rect r) {
            c.setFillColor(Color{1, 0, 0, 1});
            Path::oval(r).fill(c);
            return true;
        });
        ASSERT_TRUE(DockTileWriter::write(&image, path));
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto decoded = Image::fromPNGData(bytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->size(), (Size{512, 512}));
        EXPECT_EQ((std::filesystem::status(std::filesystem::path(path).parent_path()).permissions() &
                   std::filesystem::perms::group_all),
                  std::filesystem::perms::none);
        EXPECT_TRUE(DockTileWriter::write(nullptr, path));
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}
