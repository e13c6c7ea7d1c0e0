#pragma once
#include <gio/gio.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Backend.h"
#include "platform/ui/gtk/GLibRunLoopDriver.h"

namespace platform::ui {

class DesktopMenu;
class DesktopPopover;
class DesktopStatusBar;

// The desktop: GTK 3 windows, tray items over GDBus, WebKitGTK web views, with the main
// run loop inside the GLib main context.
class DesktopBackend final : public Backend {
public:
    // Opens the display; nullptr when GTK cannot.
    static std::shared_ptr<DesktopBackend> open();
    // The installed one (only while it is installed).
    static DesktopBackend* shared();

    DesktopBackend();
    ~DesktopBackend() override;

    std::string name() const override { return "desktop"; }
    StatusBar& statusBar() override;
    std::shared_ptr<Popover> makePopover() override;
    std::shared_ptr<Menu> makeMenu(std::string title) override;
    std::shared_ptr<WebView> makeWebView(Rect frame, WebViewConfiguration configuration) override;
    std::shared_ptr<WebsiteDataStore> makeNonPersistentDataStore() override;
    std::optional<Screen> mainScreen() override;
    // The "Tidemark Quota" tray item (DesktopDock).
    std::shared_ptr<Dock> makeDock() override;

    // The session bus (nullptr when there is none: no tray at all).
    GDBusConnection* sessionBus() const { return sessionBus_; }

    // How the next menu that pops up is presented: on screen as a GTK menu at a point,
    // or only opened for a tray host that draws the exported menu itself.
    enum class MenuPresentation { onScreen, exported };
    void setMenuPresentation(MenuPresentation presentation, int x, int y);
    void menuDidPopUp(DesktopMenu& menu);
    std::shared_ptr<Menu> lastPoppedUpMenu() const { return lastMenu_.lock(); }

    // A panel that closed because it lost the focus: a tray click right after it is the
    // click that took the focus away, and must not open the panel again.
    void noteFocusOutClose();
    bool closedByFocusOutJustNow() const;

    // Tray host presence; without one the panel is offered in a browser.
    void setTrayHostPresent(bool present);
    void noteBrowserLoginLine(std::string line);

    void registerPopover(const std::shared_ptr<DesktopPopover>& popover);

    // Whether a panel is on screen.
    bool hasVisiblePanel() const;
    // What bringing the application forward means here: a panel on screen is raised,
    // otherwise the main tray item gets a left click at (x, y) (which opens the panel).
    void bringPanelForward(int x, int y);

private:
    static void afterDispatch(void* self);

    GLibRunLoopDriver driver_;
    GDBusConnection* sessionBus_ = nullptr;
    std::unique_ptr<DesktopStatusBar> statusBar_;
    MenuPresentation menuPresentation_ = MenuPresentation::onScreen;
    int menuX_ = 0, menuY_ = 0;
    std::weak_ptr<Menu> lastMenu_;
    std::chrono::steady_clock::time_point lastFocusOutClose_{};
    std::optional<bool> trayHostPresent_;
    bool didAnnounceMissingHost_ = false;
    std::optional<std::string> browserLoginLine_;
    bool didPrintBrowserLogin_ = false;
    std::vector<std::weak_ptr<DesktopPopover>> popovers_;
};

}  // namespace platform::ui
