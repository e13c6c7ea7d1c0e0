// Tidemark as a whole process on the desktop backend: a private Xvfb and session bus,
// a test StatusNotifierWatcher, driven over D-Bus and X like a tray host and a user.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "DesktopSession.h"
#include "platform/LoopbackPort.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;
using desktoptest::artifactDirectory;

namespace {

const std::string itemInterface = "org.kde.StatusNotifierItem";
const std::string menuInterface = "com.canonical.dbusmenu";
constexpr int panelWidth = 420;
constexpr int defaultHeight = 640;

// The page the fake server gives the panel: it reports the bridge calls and the flag,
// posts a (deliberately invalid) "dockQuota" state from the main frame, holds an iframe
// that tries to post as well, and follows a link to another host once opened.
const char* testPage = R"HTML(<!doctype html><html><body style="background:#203028;color:#fff;font:20px sans-serif">
<h1>Test page</h1><a id="ext" href="https://example.invalid/docs">docs</a>
<iframe src="/frame" width="200" height="60"></iframe>
<script>
function report(name, extra) { return fetch('/event?name=' + name + (extra || '')); }
// Following the link once the other reports are through: a navigation cancels loads.
var waiting = 2;
function followWhenReported() {
  if (--waiting !== 0) return;
  document.getElementById('ext').click();
}
window.addEventListener('message', function (e) { if (e.data === 'frame-done') followWhenReported(); });
window.__tidemark = {
  onPanelOpen: function () {
    var first = !window.__opened;
    window.__opened = true;
    report('open', '&flag=' + window.__tidemarkPanelOpen).then(function () { if (first) followWhenReported(); });
  },
  onPanelClose: function () { report('close', '&flag=' + window.__tidemarkPanelOpen); }
};
window.webkit.messageHandlers.dockQuota.postMessage({ from: 'main frame' });
report('loaded');
</script></body></html>)HTML";

const char* framePage = R"HTML(<!doctype html><html><body><script>
var done = function () { window.parent.postMessage('frame-done', '*'); };
try { window.webkit.messageHandlers.dockQuota.postMessage({ from: 'iframe' }); fetch('/event?name=iframe-posted').then(done); }
catch (e) { fetch('/event?name=iframe-refused').then(done); }
</script></body></html>)HTML";

// The local server the development fall-back attaches to: health, the test page, and
// a record of the page's reports with the cookie each request carried.
class PageServer {
public:
    PageServer() {
        auto& s = server_.server();
        s.Get("/api/health", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
        s.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
            if (request.get_param_value("surface") == "panel") record("route", request);
            response.set_content(testPage, "text/html");
        });
        s.Get("/frame", [this](const httplib::Request& request, httplib::Response& r) {
            record("frame", request);
            r.set_content(framePage, "text/html");
        });
        s.Get("/event", [this](const httplib::Request& request, httplib::Response& response) {
            const std::string flag = request.has_param("flag") ? " flag=" + request.get_param_value("flag") : "";
            record(request.get_param_value("name") + flag, request);
            response.set_content("{}", "application/json");
        });
        s.Post(".*", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
        server_.start();
    }
    int port() const { return server_.port(); }
    std::vector<std::pair<std::string, std::string>> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The cookie of the first event of that name, when it came.
    std::optional<std::string> waitFor(const std::string& name, std::chrono::milliseconds timeout = 20s) const {
        std::optional<std::string> cookie;
        testsupport::eventually(
            [&] {
                for (const auto& [event, c] : events())
                    if (event == name) {
                        cookie = c;
                        return true;
                    }
                return false;
            },
            timeout);
        return cookie;
    }
    std::string describe() const {
        std::string text = "page events:";
        for (const auto& entry : events()) text += " [" + entry.first + "]";
        return text;
    }
    size_t count(const std::string& name) const {
        size_t n = 0;
        for (const auto& entry : events()) n += entry.first == name;
        return n;
    }

private:
    void record(const std::string& name, const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        events_.emplace_back(name, request.get_header_value("Cookie"));
    }
    testsupport::LocalHttpServer server_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> events_;
};

struct Item {
    std::string busName;
    std::string path;
};

Item waitForItem(DesktopSession& session, size_t registration = 1) {
    auto line = session.waitForRegistration(registration, 30s);
    if (!line) return {};
    auto [name, path] = desktoptest::splitRegistration(*line);
    return {name, path};
}

void activate(DesktopSession& session, const Item& item, int x, int y, const std::string& method = "Activate") {
    GVariant* reply = session.call(item.busName, item.path, itemInterface, method, g_variant_new("(ii)", x, y));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
}

std::optional<desktoptest::WindowGeometry> waitForPanel(DesktopSession& session, bool shown,
                                                        std::chrono::milliseconds timeout = 15s) {
    std::optional<desktoptest::WindowGeometry> geometry;
    testsupport::eventually(
        [&] {
            geometry = session.panelWindow();
            return geometry.has_value() == shown;
        },
        timeout, 100ms);
    return geometry;
}

// A left click on the item at (x, y), then the panel window once it shows.
std::optional<desktoptest::WindowGeometry> openPanel(DesktopSession& session, const Item& item, int x, int y) {
    activate(session, item, x, y);
    return waitForPanel(session, true);
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The menu as "label:toggle-state:tooltip" per item ("-" for a separator).
std::vector<std::string> menuLayout(DesktopSession& session, const Item& item, std::string* shortcut = nullptr) {
    GVariant* reply = session.call(item.busName, item.path + "/Menu", menuInterface, "GetLayout",
                                   g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
    std::vector<std::string> result;
    if (!reply) return result;
    guint32 revision = 0;
    GVariant* layout = nullptr;
    g_variant_get(reply, "(u@(ia{sv}av))", &revision, &layout);
    GVariant* children = g_variant_get_child_value(layout, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* child = g_variant_get_variant(boxed);
        GVariant* properties = g_variant_get_child_value(child, 1);
        const gchar* type = nullptr;
        const gchar* label = "";
        const gchar* tooltip = "";
        const gchar* toggleType = "";
        gint32 state = -1;
        g_variant_lookup(properties, "type", "&s", &type);
        g_variant_lookup(properties, "label", "&s", &label);
        g_variant_lookup(properties, "tooltip", "&s", &tooltip);
        g_variant_lookup(properties, "toggle-type", "&s", &toggleType);
        g_variant_lookup(properties, "toggle-state", "i", &state);
        if (type && std::string(type) == "separator") {
            result.push_back("-");
        } else {
            result.push_back(std::string(label) + ":" + toggleType + ":" + std::to_string(state) + ":" + tooltip);
        }
        if (shortcut) {
            if (GVariant* keys = g_variant_lookup_value(properties, "shortcut", G_VARIANT_TYPE("aas"))) {
                gchar* printed = g_variant_print(keys, FALSE);
                *shortcut = printed;
                g_free(printed);
                g_variant_unref(keys);
            }
        }
        g_variant_unref(properties);
        g_variant_unref(child);
        g_variant_unref(boxed);
    }
    g_variant_unref(children);
    g_variant_unref(layout);
    g_variant_unref(reply);
    return result;
}

bool menuEvent(DesktopSession& session, const Item& item, int id, const std::string& event) {
    GVariant* reply = session.call(item.busName, item.path + "/Menu", menuInterface, "Event",
                                   g_variant_new("(isvu)", id, event.c_str(), g_variant_new_int32(0), 0u));
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
}

bool aboutToShow(DesktopSession& session, const Item& item) {
    GVariant* reply = session.call(item.busName, item.path + "/Menu", menuInterface, "AboutToShow", g_variant_new("(i)", 0));
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
}

// The share of light pixels (text) in the panel's part of a screenshot.
double lightShare(const DesktopSession& session, const std::string& screenshot, const desktoptest::WindowGeometry& g) {
    const std::string crop = std::to_string(g.width) + "x" + std::to_string(g.height) + "+" + std::to_string(g.x) + "+" +
                             std::to_string(g.y);
    const std::string out = session.run({"convert", screenshot, "-crop", crop, "-colorspace", "Gray", "-threshold",
                                         "70%", "-format", "%[fx:mean]", "info:"});
    return std::atof(out.c_str());
}

testsupport::TidemarkRun runOnDesktop(const DesktopSession& session, std::map<std::string, std::string> extra = {},
                                      std::optional<std::string> install = std::string()) {
    auto environment = session.environment();
    for (auto& [name, value] : extra) environment[name] = value;
    environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "120";
    return testsupport::TidemarkRun({.environment = environment, .fixedToken = true, .copiedInstallWithServer = install});
}

}  // namespace

TEST(DesktopTray, ItemAndMenuOverDBusRegisteredAgainWhenTheWatcherReturnsAndQuitStopsEverything) {
    DesktopSession session;
    // The real server beside the real executable, so quitting has a server to stop.
    auto run = runOnDesktop(session, {}, std::nullopt);
    const Item item = waitForItem(session);
    ASSERT_FALSE(item.busName.empty()) << run.output() << session.watcherOutput();
    EXPECT_EQ(item.path, "/StatusNotifierItem");

    auto text = [&](const char* name) {
        GVariant* value = session.property(item.busName, item.path, itemInterface, name);
        std::string result = value ? g_variant_get_string(value, nullptr) : "<none>";
        if (value) g_variant_unref(value);
        return result;
    };
    EXPECT_EQ(text("Category"), "SystemServices");
    EXPECT_EQ(text("Title"), "Tidemark");
    EXPECT_EQ(text("Id"), "tidemark");
    EXPECT_EQ(text("Status"), "Active");
    GVariant* isMenu = session.property(item.busName, item.path, itemInterface, "ItemIsMenu");
    ASSERT_NE(isMenu, nullptr);
    EXPECT_FALSE(g_variant_get_boolean(isMenu));
    g_variant_unref(isMenu);
    GVariant* menuPath = session.property(item.busName, item.path, itemInterface, "Menu");
    ASSERT_NE(menuPath, nullptr);
    EXPECT_EQ(std::string(g_variant_get_string(menuPath, nullptr)), "/StatusNotifierItem/Menu");
    g_variant_unref(menuPath);

    // The glyph at 22 and 44 pixels: ARGB with some opaque and some clear pixels.
    GVariant* pixmaps = session.property(item.busName, item.path, itemInterface, "IconPixmap");
    ASSERT_NE(pixmaps, nullptr);
    std::vector<int> sizes;
    for (gsize i = 0; i < g_variant_n_children(pixmaps); ++i) {
        gint32 w = 0, h = 0;
        GVariant* bytes = nullptr;
        g_variant_get_child(pixmaps, i, "(ii@ay)", &w, &h, &bytes);
        gsize length = 0;
        const auto* data = static_cast<const uint8_t*>(g_variant_get_fixed_array(bytes, &length, 1));
        EXPECT_EQ(length, static_cast<gsize>(w * h * 4));
        int opaque = 0, clear = 0;
        for (gsize p = 0; p + 3 < length; p += 4) {
            if (data[p] > 200) ++opaque;
            if (data[p] == 0) ++clear;
        }
        EXPECT_GT(opaque, 0) << w;
        EXPECT_GT(clear, opaque) << w;
        sizes.push_back(w);
        g_variant_unref(bytes);
    }
    g_variant_unref(pixmaps);
    EXPECT_EQ(sizes, (std::vector<int>{22, 44}));

    // The menu: a checkmark item, a separator and quit with Ctrl+Q.
    ASSERT_TRUE(aboutToShow(session, item));
    std::string shortcut;
    EXPECT_EQ(menuLayout(session, item, &shortcut),
              (std::vector<std::string>{"Launch at Login:checkmark:0:", "-", "Quit Tidemark::-1:"}));
    EXPECT_EQ(shortcut, "[['Control', 'q']]");

    // Launch at Login writes the autostart entry; the next opening shows the checkmark.
    const std::string entry = run.home() + "/config/autostart/tidemark.desktop";
    ASSERT_TRUE(menuEvent(session, item, 1, "clicked"));
    ASSERT_TRUE(testsupport::eventually([&] { return std::filesystem::exists(entry); }, 10s)) << run.output();
    ASSERT_TRUE(aboutToShow(session, item));
    EXPECT_EQ(menuLayout(session, item)[0], "Launch at Login:checkmark:1:");
    // An entry whose program is gone counts as not found: no checkmark.
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Tidemark\nExec=/nonexistent/Tidemark\n";
    ASSERT_TRUE(aboutToShow(session, item));
    EXPECT_EQ(menuLayout(session, item)[0], "Launch at Login:checkmark:0:");

    // The watcher goes and comes back: the item registers again by itself.
    session.stopWatcher();
    session.startWatcher();
    const Item again = waitForItem(session, 2);
    EXPECT_EQ(again.busName, item.busName) << session.watcherOutput();

    // Quit from the menu: the process ends normally and its server child with it.
    ASSERT_TRUE(run.waitForOutput("[Tidemark Server]", 30s)) << run.output();
    const auto children = run.childPids();
    ASSERT_FALSE(children.empty());
    ASSERT_TRUE(menuEvent(session, item, 3, "clicked"));
    ASSERT_TRUE(run.process().waitUntilExit(std::chrono::seconds(15))) << run.output();
    EXPECT_EQ(run.process().terminationStatus(), 0) << run.output();
    for (int child : children)
        EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(child); }, 10s)) << child;
}

TEST(DesktopPanel, OpensBelowOrAboveTheIconWithThePageItsCookieBridgeAndMessageRules) {
    DesktopSession session;
    PageServer page;
    testsupport::TemporaryDirectory bin;
    const std::string opened = bin.path() + "/opened.txt";
    std::ofstream(bin.path() + "/xdg-open") << "#!/bin/sh\necho \"$@\" >> " << opened << "\n";
    ::chmod((bin.path() + "/xdg-open").c_str(), 0755);
    auto run = runOnDesktop(session, {{"TIDEMARK_TEST_PORT", std::to_string(page.port())},
                                      {"PATH", bin.path() + ":" + std::string(getenv("PATH"))}});
    const Item item = waitForItem(session);
    ASSERT_FALSE(item.busName.empty()) << run.output();
    ASSERT_TRUE(page.waitFor("loaded")) << run.output();

    // A tray at the top: the panel hangs below the click, centred on it.
    auto geometry = openPanel(session, item, 1000, 12);
    ASSERT_TRUE(geometry) << run.output();
    EXPECT_EQ(geometry->width, panelWidth);
    EXPECT_EQ(geometry->height, defaultHeight);
    EXPECT_EQ(geometry->x, 1000 - panelWidth / 2);
    EXPECT_EQ(geometry->y, 24);
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Status item clicked", 5s));

    // The route came with the token cookie; the page hears the opening with the flag.
    EXPECT_EQ(page.waitFor("route").value_or(""), "tidemark_token=" + run.token());
    EXPECT_TRUE(page.waitFor("open flag=true")) << run.output();
    // Main frame posts arrive (this one is invalid, so it is logged); a sub-frame's
    // post throws in the page and never reaches the application.
    EXPECT_TRUE(page.waitFor("iframe-refused")) << run.output() << page.describe();
    EXPECT_EQ(page.count("iframe-posted"), 0u);
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Ignored invalid Dock quota payload", 10s)) << run.output();
    // A link to another host goes to the browser, not into the panel.
    EXPECT_TRUE(testsupport::eventually([&] { return std::filesystem::exists(opened); }, 10s)) << run.output();
    std::ifstream openedFile(opened);
    std::string openedURL;
    std::getline(openedFile, openedURL);
    EXPECT_EQ(openedURL, "https://example.invalid/docs");
    session.screenshot(artifactDirectory() + "/panel-test-page.png");

    // A second click closes it; the page hears that, with the flag down.
    activate(session, item, 1000, 12);
    EXPECT_FALSE(waitForPanel(session, false)) << run.output();
    EXPECT_TRUE(page.waitFor("close flag=false")) << run.output();

    // A tray at the bottom: the panel stands above the click.
    geometry = openPanel(session, item, 1000, DesktopSession::screenHeight - 9);
    ASSERT_TRUE(geometry) << run.output();
    EXPECT_EQ(geometry->y, DesktopSession::screenHeight - 9 - 12 - defaultHeight);
    EXPECT_EQ(geometry->height, defaultHeight);
    EXPECT_EQ(occurrences(run.output(), "[Tidemark] Ignored invalid Dock quota payload"), 1u) << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(DesktopPanel, ShowsTheRealPageResizesFromTheStripAndClosesWhenTheFocusLeaves) {
    DesktopSession session;
    auto run = runOnDesktop(session, {}, std::nullopt);
    const Item item = waitForItem(session);
    ASSERT_FALSE(item.busName.empty()) << run.output();
    ASSERT_TRUE(run.waitUntilHealthy(30s)) << run.output();
    auto geometry = openPanel(session, item, 900, 12);
    ASSERT_TRUE(geometry) << run.output();

    // The real page draws text; the placeholder has none.
    const std::string shot = artifactDirectory() + "/panel-real-page.png";
    EXPECT_TRUE(testsupport::eventually(
        [&] { return session.screenshot(shot) && lightShare(session, shot, *geometry) > 0.002; }, 30s, 500ms))
        << run.output();

    // Drag the strip at the bottom down by 100 pixels.
    const int x = geometry->x + panelWidth / 2;
    const int y = geometry->y + geometry->height - 3;
    session.run({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "mousedown", "1", "mousemove",
                 "--sync", std::to_string(x), std::to_string(y + 50), "mousemove", "--sync", std::to_string(x),
                 std::to_string(y + 100), "mouseup", "1"});
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            auto now = session.panelWindow();
            return now && now->height == defaultHeight + 100;
        },
        10s))
        << run.output();
    const std::string defaults = run.home() + "/config/Tidemark/defaults.json";
    EXPECT_TRUE(testsupport::eventually(
        [&] {
            std::ifstream in(defaults);
            std::stringstream text;
            text << in.rdbuf();
            return std::regex_search(text.str(), std::regex("\"Tidemark\\.panelHeight\":\\s*740(\\.0)?\\s*[,}]"));
        },
        5s));

    // Another window takes the focus: the panel closes.
    int status = 0;
    const std::string taker = session.run({"sh", "-c", "display -title focus-taker -geometry 60x60+20+20 xc:gray "
                                                        ">/dev/null 2>&1 & echo $!"},
                                          &status);
    const int takerPid = std::atoi(taker.c_str());
    std::string window;
    testsupport::eventually(
        [&] {
            window = session.run({"xdotool", "search", "--onlyvisible", "--name", "^focus-taker$"});
            return !window.empty();
        },
        10s);
    session.run({"xdotool", "windowfocus", "--sync", window.substr(0, window.find('\n'))});
    EXPECT_FALSE(waitForPanel(session, false)) << run.output();
    if (takerPid > 0) ::kill(takerPid, SIGTERM);
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(DesktopPanel, KeepOpenSwitchKeepsThePanelWhenTheFocusLeaves) {
    DesktopSession session;
    PageServer page;
    auto run = runOnDesktop(session, {{"TIDEMARK_TEST_PORT", std::to_string(page.port())}, {"TIDEMARK_KEEP_POPOVER_OPEN", "yes"}});
    const Item item = waitForItem(session);
    ASSERT_FALSE(item.busName.empty()) << run.output();
    ASSERT_TRUE(page.waitFor("loaded")) << run.output();
    ASSERT_TRUE(openPanel(session, item, 600, 12)) << run.output();
    ASSERT_TRUE(page.waitFor("open flag=true"));
    const std::string taker = session.run({"sh", "-c", "display -title focus-taker -geometry 60x60+20+20 xc:gray "
                                                        ">/dev/null 2>&1 & echo $!"});
    std::string window;
    testsupport::eventually(
        [&] {
            window = session.run({"xdotool", "search", "--onlyvisible", "--name", "^focus-taker$"});
            return !window.empty();
        },
        10s);
    session.run({"xdotool", "windowfocus", "--sync", window.substr(0, window.find('\n'))});
    session.run({"xdotool", "key", "Escape"});
    // Nothing to wait for when nothing happens: give the focus change a moment.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(session.panelWindow()) << run.output();
    EXPECT_EQ(page.count("close flag=false"), 0u);
    ::kill(std::atoi(taker.c_str()), SIGTERM);
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(DesktopStart, AFailedServerStartShowsTheErrorPageInThePanel) {
    DesktopSession session;
    testsupport::TemporaryDirectory scripts;
    const std::string failing = scripts.path() + "/failing-server";
    std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
    ::chmod(failing.c_str(), 0755);
    auto run = runOnDesktop(session, {}, failing);
    const Item item = waitForItem(session);
    ASSERT_FALSE(item.busName.empty()) << run.output();
    ASSERT_TRUE(run.waitForOutput("[Tidemark] Server exited with status 3", 15s)) << run.output();
    auto geometry = openPanel(session, item, 640, 12);
    ASSERT_TRUE(geometry) << run.output();
    const std::string shot = artifactDirectory() + "/panel-error-page.png";
    // The error page (after the 25-second readiness limit) has text; the placeholder has none.
    EXPECT_TRUE(testsupport::eventually(
        [&] { return session.screenshot(shot) && lightShare(session, shot, *geometry) > 0.002; }, 45s, 1s))
        << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(DesktopStart, WithoutATrayHostThePanelIsOfferedInABrowser) {
    DesktopSession session(false);
    PageServer page;
    auto run = runOnDesktop(session, {{"TIDEMARK_TEST_PORT", std::to_string(page.port())}});
    EXPECT_TRUE(run.waitForOutput("[Tidemark] No tray host on the session bus", 20s)) << run.output();
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Open the panel in a browser: http://127.0.0.1:" +
                                      std::to_string(page.port()) + "/login?token=" + run.token(),
                                  20s))
        << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(DesktopStart, ForcedDesktopWithoutADisplayExitsWithStatusOneAndStartsNothing) {
    const int port = testsupport::freeLoopbackPort();
    testsupport::TidemarkRun run({.environment = {{"TIDEMARK_UI", "desktop"}, {"GDK_BACKEND", "x11"},
                                                  {"TIDEMARK_TEST_PORT", std::to_string(port)}},
                                  .fixedToken = true,
                                  .copiedInstallWithServer = std::nullopt});
    ASSERT_TRUE(run.process().waitUntilExit(std::chrono::seconds(20)));
    EXPECT_EQ(run.process().terminationStatus(), 1);
    std::this_thread::sleep_for(200ms);
    const std::string output = run.output();
    EXPECT_EQ(occurrences(output, "\n"), 1u) << output;
    EXPECT_NE(output.find("TIDEMARK_UI=desktop"), std::string::npos) << output;
    EXPECT_EQ(output.find("[Tidemark Server]"), std::string::npos) << output;
    EXPECT_TRUE(platform::canBindLoopbackPort(port));
}
