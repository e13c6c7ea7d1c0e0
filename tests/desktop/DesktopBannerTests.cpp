// The restart-to-update banner in the desktop panel: the panel controller on the GTK
// backend in this process, on a private display, clicked through X like a user would.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "DesktopSession.h"
#include "panel/PanelWindowController.h"
#include "panel/TidemarkUpdateController.h"
#include "platform/UserDefaults.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopPopover.h"
#include "server/NodeServerManager.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;
using desktoptest::artifactDirectory;
using desktoptest::pumpUntil;

namespace {

GtkWidget* bannerWidget(platform::ui::DesktopPopover& popover) {
    GtkWidget* fixed = gtk_bin_get_child(GTK_BIN(popover.window()));
    GList* children = gtk_container_get_children(GTK_CONTAINER(fixed));
    GtkWidget* found = nullptr;
    for (GList* c = children; c; c = c->next)
        if (GTK_IS_BUTTON(c->data)) found = GTK_WIDGET(c->data);
    g_list_free(children);
    return found;
}

// Share of the pixels in a screen rectangle near a colour, from an X screenshot.
double shareNear(const DesktopSession& session, const std::string& png, int x, int y, int w, int h, int r, int g,
                 int b) {
    const std::string raw = session.run({"convert", png, "-crop",
                                         std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) + "+" +
                                             std::to_string(y),
                                         "-depth", "8", "rgb:-"});
    if (raw.size() < 3) return 0;
    size_t hits = 0;
    for (size_t i = 0; i + 2 < raw.size(); i += 3) {
        const int dr = std::abs(int(uint8_t(raw[i])) - r), dg = std::abs(int(uint8_t(raw[i + 1])) - g),
                  db = std::abs(int(uint8_t(raw[i + 2])) - b);
        if (dr < 24 && dg < 24 && db < 24) ++hits;
    }
    return double(hits) / double(raw.size() / 3);
}

}  // namespace

TEST(DesktopBanner, AReadyUpdateShowsTheBannerOverAShorterWebViewAndItsClickInstallsOnce) {
    DesktopSession session;
    session.exportToThisProcess();
    auto backend = platform::ui::DesktopBackend::open();
    ASSERT_TRUE(backend);
    platform::ui::Backend::install(backend);

    // A packaged install: an executable TidemarkServer beside "the executable".
    testsupport::TemporaryDirectory install;
    std::ofstream(install.path() + "/TidemarkServer") << "#!/bin/sh\n";
    ::chmod((install.path() + "/TidemarkServer").c_str(), 0755);
    platform::UserDefaults defaults(install.path() + "/defaults.json");
    auto updates = std::make_shared<TidemarkUpdateController>();
    {
        auto panel = std::make_shared<PanelWindowController>(std::make_shared<NodeServerManager>(), updates, nullptr,
                                                             PanelEnvironment{&defaults, install.path()});
        auto item = platform::StatusBar::system().statusItem(platform::StatusItem::variableLength);
        auto button = item->button();
        button->setScreenFrame({{588, 0}, {24, 24}});
        panel->toggle(button);
        std::optional<desktoptest::WindowGeometry> window;
        ASSERT_TRUE(pumpUntil([&] { return (window = session.panelWindow()).has_value(); }, 15s));

        // The window carries the application's icon for window switchers (_NET_WM_ICON):
        // several sizes, each a drawn tile (opaque middle, clear corner).
        auto popoverWindow = std::dynamic_pointer_cast<platform::ui::DesktopPopover>(panel->popover);
        ASSERT_TRUE(popoverWindow);
        GdkAtom type;
        gint format = 0, length = 0;
        guchar* data = nullptr;
        ASSERT_TRUE(gdk_property_get(gtk_widget_get_window(popoverWindow->window()),
                                     gdk_atom_intern_static_string("_NET_WM_ICON"), gdk_atom_intern_static_string("CARDINAL"),
                                     0, G_MAXLONG, FALSE, &type, &format, &length, &data));
        const auto* words = reinterpret_cast<const long*>(data);
        const size_t count = size_t(length) / sizeof(long);
        std::vector<int> iconSizes;
        for (size_t i = 0; i + 2 <= count;) {
            const long w = words[i], h = words[i + 1];
            if (w <= 0 || h <= 0 || i + 2 + size_t(w * h) > count) break;
            const auto* pixels = words + i + 2;
            const unsigned long corner = static_cast<unsigned long>(pixels[0]);
            const unsigned long middle = static_cast<unsigned long>(pixels[(h / 2) * w + w / 2]);
            EXPECT_EQ(corner >> 24, 0u) << w;
            EXPECT_EQ((middle >> 24) & 0xff, 0xffu) << w;
            iconSizes.push_back(int(w));
            i += 2 + size_t(w * h);
        }
        g_free(data);
        EXPECT_EQ(iconSizes, (std::vector<int>{16, 32, 48, 64, 128, 256}));

        // The updater's ready report: the banner across the top, the web view 42 shorter.
        int installs = 0;
        EXPECT_TRUE(updates->updaterWillInstallUpdateOnQuit("2.3.0", [&] { ++installs; }));
        auto popover = std::dynamic_pointer_cast<platform::ui::DesktopPopover>(panel->popover);
        ASSERT_TRUE(popover);
        GtkWidget* banner = nullptr;
        ASSERT_TRUE(pumpUntil(
            [&] {
                banner = bannerWidget(*popover);
                return banner && gtk_widget_get_visible(banner) && gtk_widget_get_allocated_height(banner) == 42;
            },
            5s));
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(banner)), "Tidemark 2.3.0 is ready \u2014 Restart to update");
        EXPECT_EQ(gtk_widget_get_allocated_width(banner), 420);
        const auto webFrame = panel->webController->view()->frame();
        EXPECT_DOUBLE_EQ(webFrame.height(), panel->currentHeight - 42);
        GtkWidget* web = nullptr;
        GtkWidget* fixed = gtk_bin_get_child(GTK_BIN(popover->window()));
        GList* children = gtk_container_get_children(GTK_CONTAINER(fixed));
        for (GList* c = children; c; c = c->next)
            if (!GTK_IS_BUTTON(c->data) && !GTK_IS_EVENT_BOX(c->data)) web = GTK_WIDGET(c->data);
        g_list_free(children);
        ASSERT_TRUE(web);
        EXPECT_EQ(gtk_widget_get_allocated_height(web), int(panel->currentHeight) - 42);
        int webY = 0;
        gtk_container_child_get(GTK_CONTAINER(fixed), web, "y", &webY, nullptr);
        EXPECT_EQ(webY, 42);

        // On screen: a light green bar with dark green text.
        pumpUntil([] { return false; }, 500ms);
        const std::string shot = artifactDirectory() + "/panel-update-banner.png";
        ASSERT_TRUE(session.screenshot(shot));
        const double bar = shareNear(session, shot, window->x, window->y, 420, 42, 99, 217, 158);
        const double ink = shareNear(session, shot, window->x, window->y, 420, 42, 13, 41, 31);
        EXPECT_GT(bar, 0.6) << shot;
        EXPECT_GT(ink, 0.01) << shot;
        EXPECT_LT(shareNear(session, shot, window->x, window->y + 60, 420, 100, 99, 217, 158), 0.05) << shot;

        // A click disables it with the installing title and runs the install handler once;
        // a second click does nothing.
        const std::string x = std::to_string(window->x + 210), y = std::to_string(window->y + 21);
        session.run({"xdotool", "mousemove", x, y, "click", "1"});
        ASSERT_TRUE(pumpUntil([&] { return installs == 1; }, 10s));
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(banner)), "Installing update\u2026");
        EXPECT_FALSE(gtk_widget_get_sensitive(banner));
        session.run({"xdotool", "mousemove", x, y, "click", "1"});
        pumpUntil([] { return false; }, 700ms);
        EXPECT_EQ(installs, 1);
        ASSERT_TRUE(session.screenshot(artifactDirectory() + "/panel-update-banner-installing.png"));

        panel->toggle(button);
        pumpUntil([&] { return !session.panelWindow(); }, 5s);
        platform::StatusBar::system().removeStatusItem(item);
    }
    platform::ui::Backend::install(nullptr);
}
