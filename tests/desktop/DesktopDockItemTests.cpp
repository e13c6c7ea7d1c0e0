// The desktop Dock (the "Tidemark Quota" tray item) in this process on a private bus:
// the activation policy registers and unregisters it, display() draws once per image
// and always signals NewIcon, and a click is the reopen request.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <future>
#include <thread>

#include "DesktopSession.h"
#include "platform/Application.h"
#include "platform/graphics/GraphicsContext.h"
#include "platform/graphics/Image.h"
#include "platform/graphics/Path.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopDock.h"

using namespace std::chrono_literals;
using desktoptest::DesktopSession;
using desktoptest::pumpUntil;
using platform::ActivationPolicy;
using platform::Application;

namespace {

const std::string itemInterface = "org.kde.StatusNotifierItem";

// A D-Bus call into this process: made on another thread while this one serves it.
template <typename Call>
auto serving(Call call) {
    auto result = std::async(std::launch::async, call);
    pumpUntil([&] { return result.wait_for(0ms) == std::future_status::ready; }, 20s);
    return result.get();
}

std::shared_ptr<platform::Image> square(platform::Color color, std::string description) {
    auto image = std::make_shared<platform::Image>(platform::Size{512, 512}, [color](platform::GraphicsContext& c,
                                                                                      platform::Rect rect) {
        c.setFillColor(color);
        platform::Path::rect(rect).fill(c);
        return true;
    });
    image->setAccessibilityDescription(std::move(description));
    return image;
}

struct ReopenDelegate : platform::ApplicationDelegate {
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override {
        ++asked;
        sawVisibleWindows = hasVisibleWindows;
        return answer;
    }
    std::atomic<int> asked{0};
    bool sawVisibleWindows = true;
    bool answer = false;
};

}  // namespace

TEST(DesktopDockItem, PolicyRegistersItDisplayDrawsOncePerImageAndAClickIsTheReopenRequest) {
    DesktopSession session;
    session.exportToThisProcess();
    auto backend = platform::ui::DesktopBackend::open();
    ASSERT_TRUE(backend);
    platform::ui::Backend::install(backend);
    auto& application = Application::shared();
    auto delegate = std::make_shared<ReopenDelegate>();
    application.setDelegate(delegate);
    // The main tray item, whose left click is what the default reopen handling gives.
    auto mainItem = platform::StatusBar::system().statusItem(platform::StatusItem::variableLength);
    int mainClicks = 0;
    mainItem->button()->setAction([&] { ++mainClicks; });
    ASSERT_TRUE(pumpUntil([&] { return session.waitForRegistration(1, 0ms).has_value(); }, 10s));

    application.setActivationPolicy(ActivationPolicy::accessory);
    auto dock = std::dynamic_pointer_cast<platform::ui::DesktopDock>(backend->makeDock());
    ASSERT_TRUE(dock);
    application.setDock(dock);
    EXPECT_FALSE(dock->isIconShown());

    // Regular: registered under a name of its own, the application's own icon at every size.
    application.setActivationPolicy(ActivationPolicy::regular);
    ASSERT_TRUE(dock->isIconShown());
    std::optional<std::string> line;
    ASSERT_TRUE(pumpUntil([&] { return (line = session.waitForRegistration(2, 0ms)).has_value(); }, 10s));
    const std::string name = desktoptest::splitRegistration(*line).first;
    EXPECT_EQ(name, dock->notifierItem()->busName());
    EXPECT_EQ(dock->drawCount(), 1u);

    auto sizes = [&] {
        return serving([&] {
            std::vector<int> result;
            GVariant* value = session.property(name, "/StatusNotifierItem", itemInterface, "IconPixmap");
            if (!value) return result;
            for (gsize i = 0; i < g_variant_n_children(value); ++i) {
                gint32 w = 0, h = 0;
                GVariant* bytes = nullptr;
                g_variant_get_child(value, i, "(ii@ay)", &w, &h, &bytes);
                result.push_back(w);
                g_variant_unref(bytes);
            }
            g_variant_unref(value);
            return result;
        });
    };
    EXPECT_EQ(sizes(), (std::vector<int>{22, 32, 48, 64, 128, 256}));

    // NewIcon on every display(); the pixmaps drawn only when the image changes, never
    // for a host's request.
    std::atomic<int> newIcons{0};
    const guint subscription = g_dbus_connection_signal_subscribe(
        session.bus(), nullptr, itemInterface.c_str(), "NewIcon", "/StatusNotifierItem", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer counter) {
            ++*static_cast<std::atomic<int>*>(counter);
        },
        &newIcons, nullptr);
    auto red = square(platform::Color::calibratedRGB(1, 0, 0, 1), "Red: 1");
    application.setApplicationIconImage(red);
    application.dockTile().display();
    EXPECT_EQ(dock->drawCount(), 2u);
    application.dockTile().display();
    EXPECT_EQ(dock->drawCount(), 2u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sizes().size(), 6u);
    EXPECT_EQ(dock->drawCount(), 2u);
    EXPECT_TRUE(pumpUntil([&] { return newIcons >= 2; }, 5s));
    const std::string toolTip = serving([&] {
        GVariant* value = session.property(name, "/StatusNotifierItem", itemInterface, "ToolTip");
        const std::string text = value ? desktoptest::printed(value) : "";
        if (value) g_variant_unref(value);
        return text;
    });
    EXPECT_NE(toolTip.find("'Tidemark Quota', 'Red: 1'"), std::string::npos) << toolTip;
    application.setApplicationIconImage(square(platform::Color::calibratedRGB(0, 0, 1, 1), "Blue: 2"));
    application.dockTile().display();
    EXPECT_EQ(dock->drawCount(), 3u);
    EXPECT_TRUE(pumpUntil([&] { return newIcons >= 3; }, 5s));

    // A click: the delegate is asked; moved on (false) means nothing more, true means the
    // default handling, a left click on the main item.
    auto activate = [&] {
        serving([&] {
            GVariant* reply = session.call(name, "/StatusNotifierItem", itemInterface, "Activate",
                                           g_variant_new("(ii)", 700, 12));
            if (reply) g_variant_unref(reply);
            return reply != nullptr;
        });
        pumpUntil([] { return false; }, 200ms);
    };
    delegate->answer = false;
    activate();
    EXPECT_EQ(delegate->asked, 1);
    EXPECT_FALSE(delegate->sawVisibleWindows);
    EXPECT_EQ(mainClicks, 0);
    delegate->answer = true;
    activate();
    EXPECT_EQ(delegate->asked, 2);
    EXPECT_EQ(mainClicks, 1);
    const auto frame = mainItem->button()->screenFrame();
    EXPECT_NEAR(frame.midX(), 700, 1);
    EXPECT_NEAR(frame.midY(), 12, 1);

    // Accessory: the name leaves the bus, and hosts hear of it.
    application.setActivationPolicy(ActivationPolicy::accessory);
    EXPECT_FALSE(dock->isIconShown());
    EXPECT_TRUE(pumpUntil([&] { return session.watcherOutput().find("unregistered " + name) != std::string::npos; },
                          10s))
        << session.watcherOutput();
    // Shown again it registers under a new name with the kept pixmaps.
    application.setActivationPolicy(ActivationPolicy::regular);
    ASSERT_TRUE(pumpUntil([&] { return (line = session.waitForRegistration(3, 0ms)).has_value(); }, 10s));
    EXPECT_EQ(dock->drawCount(), 3u);

    g_dbus_connection_signal_unsubscribe(session.bus(), subscription);
    application.setDock(nullptr);
    application.setDelegate({});
    platform::StatusBar::system().removeStatusItem(mainItem);
    dock.reset();
    platform::ui::Backend::install(nullptr);
}
