// The Dock icon on the desktop: the "Tidemark Quota" tray item follows the page's quota
// state, rotates, steps on a click, survives a restart; driven as a tray host would.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "DesktopSession.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;
using desktoptest::artifactDirectory;

namespace {

const std::string itemInterface = "org.kde.StatusNotifierItem";

// The page posts, from its main frame, every state the test queues for it.
const char* quotaPage = R"HTML(<!doctype html><html><body style="background:#203028">
<script>
function poll() {
  fetch('/next').then(function (r) { return r.text(); }).then(function (t) {
    if (t) window.webkit.messageHandlers.dockQuota.postMessage(JSON.parse(t));
    setTimeout(poll, 100);
  }, function () { setTimeout(poll, 300); });
}
poll();
</script></body></html>)HTML";

class QuotaPageServer {
public:
    QuotaPageServer() {
        auto& s = server_.server();
        s.Get("/api/health", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
        s.Get("/", [](const httplib::Request&, httplib::Response& r) { r.set_content(quotaPage, "text/html"); });
        s.Get("/next", [this](const httplib::Request&, httplib::Response& r) {
            std::lock_guard lock(mutex_);
            ++polls_;
            std::string next;
            if (!queue_.empty()) {
                next = queue_.front();
                queue_.pop_front();
            }
            r.set_content(next, "text/plain");
        });
        s.Post(".*", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
        server_.start();
    }
    int port() const { return server_.port(); }
    void post(std::string json) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(json));
    }
    bool waitUntilPolled(std::chrono::milliseconds timeout) {
        return testsupport::eventually(
            [&] {
                std::lock_guard lock(mutex_);
                return polls_ > 0;
            },
            timeout);
    }

private:
    testsupport::LocalHttpServer server_;
    std::mutex mutex_;
    std::deque<std::string> queue_;
    int polls_ = 0;
};

struct Pixmap {
    int width = 0, height = 0;
    std::vector<uint8_t> argb;
    // (r, g, b, a) at (x, y), y from the top.
    std::array<int, 4> at(int x, int y) const {
        const uint8_t* p = argb.data() + (size_t(y) * width + x) * 4;
        return {p[1], p[2], p[3], p[0]};
    }
};

std::vector<Pixmap> pixmaps(DesktopSession& session, const std::string& busName) {
    std::vector<Pixmap> result;
    GVariant* value = session.property(busName, "/StatusNotifierItem", itemInterface, "IconPixmap");
    if (!value) return result;
    for (gsize i = 0; i < g_variant_n_children(value); ++i) {
        Pixmap p;
        GVariant* bytes = nullptr;
        g_variant_get_child(value, i, "(ii@ay)", &p.width, &p.height, &bytes);
        gsize length = 0;
        const auto* data = static_cast<const uint8_t*>(g_variant_get_fixed_array(bytes, &length, 1));
        p.argb.assign(data, data + length);
        g_variant_unref(bytes);
        result.push_back(std::move(p));
    }
    g_variant_unref(value);
    return result;
}

std::string text(DesktopSession& session, const std::string& busName, const char* property) {
    GVariant* value = session.property(busName, "/StatusNotifierItem", itemInterface, property);
    if (!value) return "<none>";
    std::string result = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)
                             ? g_variant_get_string(value, nullptr)
                             : desktoptest::printed(value);
    g_variant_unref(value);
    return result;
}

// The tooltip's title and text.
std::pair<std::string, std::string> toolTip(DesktopSession& session, const std::string& busName) {
    GVariant* value = session.property(busName, "/StatusNotifierItem", itemInterface, "ToolTip");
    if (!value) return {};
    const gchar *title = nullptr, *body = nullptr;
    g_variant_get(value, "(&s@a(iiay)&s&s)", nullptr, nullptr, &title, &body);
    std::pair<std::string, std::string> result{title, body};
    g_variant_unref(value);
    return result;
}

void savePNG(const Pixmap& p, const std::string& path) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, p.width, p.height);
    auto* out = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const auto [r, g, b, a] = p.at(x, y);
            auto* px = reinterpret_cast<uint32_t*>(out + size_t(y) * stride) + x;
            *px = uint32_t(a) << 24 | uint32_t(r * a / 255) << 16 | uint32_t(g * a / 255) << 8 | uint32_t(b * a / 255);
        }
    cairo_surface_mark_dirty(surface);
    cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
}

// Registered items by Id, from the watcher's lines, that are still on the bus.
std::optional<std::string> registeredItem(DesktopSession& session, const std::string& id) {
    std::istringstream lines(session.watcherOutput());
    std::string line;
    std::optional<std::string> found;
    std::vector<std::string> gone;
    while (std::getline(lines, line)) {
        if (line.rfind("unregistered ", 0) == 0) gone.push_back(line.substr(13));
        if (line.rfind("registered ", 0) != 0) continue;
        const auto [name, path] = desktoptest::splitRegistration(line.substr(11));
        if (text(session, name, "Id") == id) found = name;
    }
    if (found && std::find(gone.begin(), gone.end(), *found) != gone.end()) return std::nullopt;
    return found;
}

std::optional<std::string> waitForQuotaItem(DesktopSession& session, std::chrono::milliseconds timeout = 20s) {
    std::optional<std::string> name;
    testsupport::eventually([&] { return (name = registeredItem(session, "tidemark-quota")).has_value(); }, timeout,
                            100ms);
    return name;
}

bool near(std::array<int, 4> pixel, std::array<int, 3> rgb, int tolerance = 40) {
    for (int i = 0; i < 3; ++i)
        if (std::abs(pixel[i] - rgb[i]) > tolerance) return false;
    return pixel[3] > 200;
}

// The 256 px pixmap's twelve o'clock point on the ring: the accent colour where the
// arc starts.
std::array<int, 4> ringTop(const Pixmap& p) { return p.at(p.width / 2, int(p.height * 73.0 / 512)); }
// Inside the tile, outside the ring: dark.
std::array<int, 4> tileSide(const Pixmap& p) { return p.at(int(p.width * 40.0 / 512), p.height / 2); }

const std::array<int, 3> alphaBlue{0x2f, 0x9b, 0xff};
const std::array<int, 3> betaOrange{0xff, 0x8a, 0x00};

const std::string twoProviders =
    R"({"enabled":true,"selection":"auto","providers":[)"
    R"({"id":"alpha","name":"Alpha","color":"#2f9bff","status":"ok","percent":60,"displayValue":"60%"},)"
    R"({"id":"beta","name":"Beta","color":"#ff8a00","status":"ok","percent":25,"displayValue":"25%"}]})";

testsupport::TidemarkRun runOnDesktop(const DesktopSession& session, int port,
                                      const testsupport::TidemarkRun* sameUserAs = nullptr) {
    auto environment = session.environment();
    environment["TIDEMARK_TEST_PORT"] = std::to_string(port);
    environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "150";
    return testsupport::TidemarkRun({.environment = environment, .fixedToken = true,
                                     // No server beside it: it attaches to the page's.
                                     .copiedInstallWithServer = std::string(), .executable = std::nullopt,
                                     .sameUserAs = sameUserAs});
}

}  // namespace

TEST(DesktopDock, QuotaItemFollowsThePageRotatesStepsOnAClickAndReturnsAfterARestart) {
    DesktopSession session;
    QuotaPageServer page;
    auto run = runOnDesktop(session, page.port());
    ASSERT_TRUE(session.waitForRegistration(1, 30s)) << run.output();
    ASSERT_TRUE(page.waitUntilPolled(30s)) << run.output();
    // The dynamic icon was never switched on: one tray item only.
    EXPECT_FALSE(registeredItem(session, "tidemark-quota"));

    page.post(twoProviders);
    const auto quota = waitForQuotaItem(session);
    ASSERT_TRUE(quota) << run.output() << session.watcherOutput();
    EXPECT_EQ(text(session, *quota, "Title"), "Tidemark Quota");
    EXPECT_EQ(text(session, *quota, "Category"), "ApplicationStatus");
    EXPECT_EQ(text(session, *quota, "Menu"), "/NO_DBUSMENU");

    // Every size drawn from the vector image; the largest shows the first provider.
    std::vector<Pixmap> icons;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            icons = pixmaps(session, *quota);
            return !icons.empty() && near(ringTop(icons.back()), alphaBlue);
        },
        10s))
        << run.output();
    std::vector<int> sizes;
    for (const auto& p : icons) {
        sizes.push_back(p.width);
        EXPECT_EQ(p.argb.size(), size_t(p.width) * p.height * 4);
        // Each size is a drawing of its own: the corners are clear, the tile is dark.
        EXPECT_EQ(p.at(0, 0)[3], 0) << p.width;
        if (p.width >= 48) {
            EXPECT_TRUE(near(tileSide(p), {20, 27, 29}, 20)) << p.width;
        }
    }
    EXPECT_EQ(sizes, (std::vector<int>{22, 32, 48, 64, 128, 256}));
    savePNG(icons.back(), artifactDirectory() + "/quota-item-alpha-256.png");
    savePNG(icons.front(), artifactDirectory() + "/quota-item-alpha-22.png");
    EXPECT_EQ(toolTip(session, *quota), (std::pair<std::string, std::string>{"Tidemark Quota", "Alpha: 60%"}));

    // The rotation moves on to the second provider after 8 s.
    const auto rotationStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            icons = pixmaps(session, *quota);
            return !icons.empty() && near(ringTop(icons.back()), betaOrange);
        },
        15s, 200ms))
        << run.output();
    const auto rotatedAfter = std::chrono::steady_clock::now() - rotationStart;
    EXPECT_GT(rotatedAfter, 5s);
    EXPECT_EQ(toolTip(session, *quota).second, "Beta: 25%");
    savePNG(icons.back(), artifactDirectory() + "/quota-item-beta-256.png");

    // A click on it steps to the next provider (wrapping to the first) and, since it
    // moved on, opens no panel.
    GVariant* reply = session.call(*quota, "/StatusNotifierItem", itemInterface, "Activate", g_variant_new("(ii)", 900, 12));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
    ASSERT_TRUE(testsupport::eventually([&] { return toolTip(session, *quota).second == "Alpha: 60%"; }, 3s));
    EXPECT_TRUE(near(ringTop(pixmaps(session, *quota).back()), alphaBlue));
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(session.panelWindow()) << run.output();

    // An invalid payload changes nothing and is logged.
    page.post(R"({"enabled":true,"selection":"Auto","providers":[]})");
    ASSERT_TRUE(run.waitForOutput("[Tidemark] Ignored invalid Dock quota payload", 10s)) << run.output();
    EXPECT_EQ(registeredItem(session, "tidemark-quota"), quota);
    EXPECT_EQ(toolTip(session, *quota).second, "Alpha: 60%");

    // One provider: the click cannot move on, so the default handling opens the panel.
    page.post(R"({"enabled":true,"selection":"auto","providers":[)"
              R"({"id":"gamma","name":"Gamma","color":"#63d89e","status":"error","displayValue":"n/a"}]})");
    ASSERT_TRUE(testsupport::eventually([&] { return toolTip(session, *quota).second == "Gamma: \u2014"; }, 10s));
    reply = session.call(*quota, "/StatusNotifierItem", itemInterface, "Activate", g_variant_new("(ii)", 900, 12));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
    std::optional<desktoptest::WindowGeometry> panel;
    ASSERT_TRUE(testsupport::eventually([&] { return (panel = session.panelWindow()).has_value(); }, 15s, 100ms))
        << run.output();
    EXPECT_EQ(panel->y, 24);
    session.screenshot(artifactDirectory() + "/quota-item-opened-panel.png");

    // Disabled: the item leaves the bus; hosts are told.
    page.post(R"({"enabled":false})");
    ASSERT_TRUE(testsupport::eventually([&] { return !registeredItem(session, "tidemark-quota"); }, 10s))
        << session.watcherOutput();
    // The watcher prints its line after the bus has dropped the name, so it may come later.
    EXPECT_TRUE(testsupport::eventually(
        [&] { return session.watcherOutput().find("unregistered " + *quota) != std::string::npos; }, 5s))
        << session.watcherOutput();

    // Enabled and persisted: a restart registers it at start-up, before the page says
    // anything, showing the persisted provider.
    page.post(twoProviders);
    const auto again = waitForQuotaItem(session);
    ASSERT_TRUE(again);
    EXPECT_NE(*again, *quota);
    ASSERT_TRUE(run.stop()) << run.output();
    ASSERT_TRUE(testsupport::eventually([&] { return !registeredItem(session, "tidemark-quota"); }, 10s));

    QuotaPageServer silentPage;
    auto restarted = runOnDesktop(session, silentPage.port(), &run);
    const auto restored = waitForQuotaItem(session, 30s);
    ASSERT_TRUE(restored) << restarted.output() << session.watcherOutput();
    ASSERT_TRUE(testsupport::eventually([&] { return toolTip(session, *restored).second == "Alpha: 60%"; }, 10s))
        << restarted.output();
    EXPECT_TRUE(near(ringTop(pixmaps(session, *restored).back()), alphaBlue));
    EXPECT_TRUE(restarted.stop()) << restarted.output();
}
