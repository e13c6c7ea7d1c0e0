#pragma once
#include <webkit2/webkit2.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/WebView.h"

namespace platform::ui {

class DesktopBackend;

// A WebKitGTK web view. Script messages of the registered names reach the user content
// controller with the page's URL (WebKit names no frame; a script injected in every
// frame keeps sub-frames from posting). Navigations go through the navigation delegate;
// a new-window request is a link click that stays in this view or goes to the browser.
class DesktopWebView final : public WebView {
public:
    DesktopWebView(Rect frame, WebViewConfiguration configuration, DesktopBackend& backend);
    ~DesktopWebView() override;

    void setAllowsMagnification(bool allows) override;
    void setDrawsBackground(bool draws) override;
    void loadHTMLString(std::string html, std::optional<URL> baseURL) override;
    void load(URLRequest request) override;
    void evaluateJavaScript(const std::string& script, EvaluationCompletion completion = nullptr) override;
    std::optional<URL> url() const override;
    bool isLoading() const override;

    GtkWidget* widget() const { return GTK_WIDGET(view_); }

private:
    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self);
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer self);
    void decide(WebKitPolicyDecision* decision, bool newWindow);

    struct MessageLink {
        DesktopWebView* view;
        std::string name;
    };

    DesktopBackend& backend_;
    WebKitUserContentManager* contentManager_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::vector<std::unique_ptr<MessageLink>> messageLinks_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::ui
