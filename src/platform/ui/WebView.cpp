#include "platform/ui/WebView.h"

#include "platform/ui/Backend.h"

namespace platform {

std::shared_ptr<WebView> WebView::make(Rect frame, WebViewConfiguration configuration) {
    return ui::Backend::current().makeWebView(frame, std::move(configuration));
}

WebView::WebView(Rect frame, WebViewConfiguration configuration)
    : View(frame), configuration_(std::move(configuration)), drawsBackground_(configuration_.drawsBackground) {
    if (!configuration_.userContentController)
        configuration_.userContentController = std::make_shared<UserContentController>();
    if (!configuration_.websiteDataStore) configuration_.websiteDataStore = WebsiteDataStore::defaultDataStore();
}

WebView::~WebView() = default;

}  // namespace platform
