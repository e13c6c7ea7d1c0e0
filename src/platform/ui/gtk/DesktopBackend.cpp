#include "platform/ui/gtk/DesktopBackend.h"

#include <gtk/gtk.h>

#include <cstdlib>

#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/ui/Screen.h"
#include "platform/ui/gtk/ApplicationIcon.h"
#include "platform/ui/gtk/DesktopDock.h"
#include "platform/ui/gtk/DesktopGeometry.h"
#include "platform/ui/gtk/DesktopMenu.h"
#include "platform/ui/gtk/DesktopPopover.h"
#include "platform/ui/gtk/DesktopStatusBar.h"
#include "platform/ui/gtk/DesktopWebView.h"
#include "platform/ui/gtk/DesktopWebsiteDataStore.h"

namespace platform::ui {

namespace {

DesktopBackend* installedBackend = nullptr;

// A tray click this soon after the panel lost the focus is the click that took it.
constexpr auto focusOutClickWindow = std::chrono::milliseconds(400);

}  // namespace

std::shared_ptr<DesktopBackend> DesktopBackend::open() {
    // GTK 3 cannot place a toplevel on Wayland: prefer X11 (XWayland) where there is
    // one, unless the user chose a backend.
    if (!std::getenv("GDK_BACKEND")) gdk_set_allowed_backends("x11,*");
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    return std::make_shared<DesktopBackend>();
}

DesktopBackend* DesktopBackend::shared() { return installedBackend; }

DesktopBackend::DesktopBackend() {
    installedBackend = this;
    GError* error = nullptr;
    sessionBus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!sessionBus_) {
        log(std::string("[Tidemark] No session bus, so no tray item: ") + (error ? error->message : "unknown error"));
        if (error) g_error_free(error);
        trayHostPresent_ = false;
    }
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
    // Every window (the panel) carries the application's icon for window switchers.
    GList* icons = nullptr;
    for (GdkPixbuf* icon : ApplicationIcon::windowIconList()) icons = g_list_append(icons, icon);
    gtk_window_set_default_icon_list(icons);
    g_list_free(icons);
    statusBar_ = std::make_unique<DesktopStatusBar>(*this);
    driver_.setAfterDispatch(&DesktopBackend::afterDispatch, this);
    RunLoop::main().setDriver(&driver_);
}

DesktopBackend::~DesktopBackend() {
    RunLoop::main().setDriver(nullptr);
    statusBar_.reset();
    if (sessionBus_) g_object_unref(sessionBus_);
    if (installedBackend == this) installedBackend = nullptr;
}

StatusBar& DesktopBackend::statusBar() { return *statusBar_; }

std::shared_ptr<Popover> DesktopBackend::makePopover() {
    auto popover = std::make_shared<DesktopPopover>(*this);
    registerPopover(popover);
    return popover;
}

std::shared_ptr<Menu> DesktopBackend::makeMenu(std::string title) {
    return std::make_shared<DesktopMenu>(std::move(title), *this);
}

std::shared_ptr<WebView> DesktopBackend::makeWebView(Rect frame, WebViewConfiguration configuration) {
    return std::make_shared<DesktopWebView>(frame, std::move(configuration), *this);
}

std::shared_ptr<WebsiteDataStore> DesktopBackend::makeNonPersistentDataStore() {
    return std::make_shared<DesktopWebsiteDataStore>();
}

std::optional<Screen> DesktopBackend::mainScreen() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return std::nullopt;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return std::nullopt;
    GdkRectangle geometry, area;
    gdk_monitor_get_geometry(monitor, &geometry);
    gdk_monitor_get_workarea(monitor, &area);
    const double height = desktopHeight();
    auto flipped = [height](const GdkRectangle& r) {
        return Rect{{double(r.x), height - double(r.y + r.height)}, {double(r.width), double(r.height)}};
    };
    return Screen{flipped(geometry), flipped(area)};
}

std::shared_ptr<Dock> DesktopBackend::makeDock() { return std::make_shared<DesktopDock>(*this); }

bool DesktopBackend::hasVisiblePanel() const {
    for (const auto& weak : popovers_)
        if (auto popover = weak.lock(); popover && popover->isShown()) return true;
    return false;
}

void DesktopBackend::bringPanelForward(int x, int y) {
    for (const auto& weak : popovers_)
        if (auto popover = weak.lock(); popover && popover->isShown()) {
            gtk_window_present(GTK_WINDOW(popover->window()));
            return;
        }
    for (const auto& item : statusBar_->items())
        if (auto desktop = std::dynamic_pointer_cast<DesktopStatusItem>(item)) {
            desktop->activate(x, y);
            return;
        }
}

void DesktopBackend::setMenuPresentation(MenuPresentation presentation, int x, int y) {
    menuPresentation_ = presentation;
    if (presentation == MenuPresentation::onScreen && (x != 0 || y != 0)) {
        menuX_ = x;
        menuY_ = y;
    }
}

void DesktopBackend::menuDidPopUp(DesktopMenu& menu) {
    lastMenu_ = menu.shared_from_this();
    if (menuPresentation_ == MenuPresentation::onScreen) menu.showOnScreen(menuX_, menuY_);
}

void DesktopBackend::noteFocusOutClose() { lastFocusOutClose_ = std::chrono::steady_clock::now(); }

bool DesktopBackend::closedByFocusOutJustNow() const {
    return std::chrono::steady_clock::now() - lastFocusOutClose_ < focusOutClickWindow;
}

void DesktopBackend::setTrayHostPresent(bool present) {
    trayHostPresent_ = present;
    if (present || didAnnounceMissingHost_) return;
    didAnnounceMissingHost_ = true;
    log("[Tidemark] No tray host on the session bus (no StatusNotifierWatcher); the panel opens in a browser instead");
    if (browserLoginLine_ && !didPrintBrowserLogin_) {
        didPrintBrowserLogin_ = true;
        log(*browserLoginLine_);
    }
}

void DesktopBackend::noteBrowserLoginLine(std::string line) {
    browserLoginLine_ = std::move(line);
    if (trayHostPresent_ == false && !didPrintBrowserLogin_) {
        didPrintBrowserLogin_ = true;
        log(*browserLoginLine_);
    }
}

void DesktopBackend::registerPopover(const std::shared_ptr<DesktopPopover>& popover) { popovers_.push_back(popover); }

void DesktopBackend::afterDispatch(void* data) {
    auto* self = static_cast<DesktopBackend*>(data);
    std::erase_if(self->popovers_, [](const std::weak_ptr<DesktopPopover>& p) { return p.expired(); });
    for (const auto& weak : self->popovers_)
        if (auto popover = weak.lock(); popover && popover->isShown()) popover->sync();
}

}  // namespace platform::ui
