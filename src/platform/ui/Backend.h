#pragma once
#include <memory>
#include <optional>
#include <string>

#include "platform/Geometry.h"

namespace platform {
class Dock;
class Menu;
class Popover;
class StatusBar;
class WebView;
class WebsiteDataStore;
struct Screen;
struct WebViewConfiguration;
}  // namespace platform

namespace platform::ui {

// One implementation of the UI types: the in-memory headless one or the desktop one.
// The process entry installs one before any UI object exists; until then (and in unit
// tests) the headless backend serves.
class Backend {
public:
    virtual ~Backend() = default;

    static Backend& current();
    static void install(std::shared_ptr<Backend> backend);

    virtual std::string name() const = 0;
    virtual StatusBar& statusBar() = 0;
    virtual std::shared_ptr<Popover> makePopover() = 0;
    virtual std::shared_ptr<Menu> makeMenu(std::string title) = 0;
    virtual std::shared_ptr<WebView> makeWebView(Rect frame, WebViewConfiguration configuration) = 0;
    virtual std::shared_ptr<WebsiteDataStore> makeNonPersistentDataStore() = 0;
    // The main display's frame and the part free of panels and docks; absent: none.
    virtual std::optional<Screen> mainScreen() = 0;
    // How the application's Dock icon is presented (Application::setDock).
    virtual std::shared_ptr<Dock> makeDock() = 0;
};

}  // namespace platform::ui
