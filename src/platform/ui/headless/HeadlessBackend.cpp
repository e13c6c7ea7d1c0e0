#include "platform/ui/headless/HeadlessBackend.h"

#include "platform/ui/Menu.h"
#include "platform/ui/Popover.h"
#include "platform/ui/Screen.h"
#include "platform/ui/headless/HeadlessDock.h"
#include "platform/ui/headless/HeadlessWebView.h"

namespace platform::ui {

std::shared_ptr<Popover> HeadlessBackend::makePopover() { return std::make_shared<Popover>(); }

std::shared_ptr<Menu> HeadlessBackend::makeMenu(std::string title) { return std::make_shared<Menu>(std::move(title)); }

std::shared_ptr<WebView> HeadlessBackend::makeWebView(Rect frame, WebViewConfiguration configuration) {
    return std::make_shared<HeadlessWebView>(frame, std::move(configuration));
}

std::shared_ptr<WebsiteDataStore> HeadlessBackend::makeNonPersistentDataStore() {
    return std::make_shared<WebsiteDataStore>(false);
}

std::optional<Screen> HeadlessBackend::mainScreen() { return Screen::headlessMainScreen(); }

std::shared_ptr<Dock> HeadlessBackend::makeDock() { return std::make_shared<HeadlessDock>(); }

}  // namespace platform::ui
