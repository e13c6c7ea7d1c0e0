#pragma once
#include "platform/ui/Backend.h"
#include "platform/ui/StatusBar.h"

namespace platform::ui {

// Everything in memory: the status bar keeps its items, popovers and menus only keep
// their state, the web view fetches over HTTP, and the screen is the configurable one.
class HeadlessBackend final : public Backend {
public:
    std::string name() const override { return "headless"; }
    StatusBar& statusBar() override { return statusBar_; }
    std::shared_ptr<Popover> makePopover() override;
    std::shared_ptr<Menu> makeMenu(std::string title) override;
    std::shared_ptr<WebView> makeWebView(Rect frame, WebViewConfiguration configuration) override;
    std::shared_ptr<WebsiteDataStore> makeNonPersistentDataStore() override;
    std::optional<Screen> mainScreen() override;
    // The tile as a PNG file (DockTileWriter).
    std::shared_ptr<Dock> makeDock() override;

private:
    StatusBar statusBar_;
};

}  // namespace platform::ui
