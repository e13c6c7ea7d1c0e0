#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/URL.h"
#include "platform/URLSession.h"
#include "platform/ui/HTTPCookie.h"
#include "platform/ui/UserContentController.h"
#include "platform/ui/View.h"

namespace platform {

class WebView;

// With the platform's numbering.
enum class NavigationType : int {
    linkActivated = 0,
    formSubmitted = 1,
    backForward = 2,
    reload = 3,
    formResubmitted = 4,
    other = -1,
};

struct NavigationAction {
    NavigationType navigationType = NavigationType::other;
    URLRequest request;
    bool isMainFrame = true;
};

enum class NavigationActionPolicy : int { cancel = 0, allow = 1 };

class NavigationDelegate {
public:
    using DecisionHandler = std::function<void(NavigationActionPolicy)>;
    virtual ~NavigationDelegate() = default;
    // Asked before every navigation, on the main thread; the handler must be called once.
    virtual void webView(WebView&, const NavigationAction&, DecisionHandler decisionHandler) {
        decisionHandler(NavigationActionPolicy::allow);
    }
};

struct WebViewConfiguration {
    std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
    std::shared_ptr<WebsiteDataStore> websiteDataStore = WebsiteDataStore::defaultDataStore();
    // False: the web view is transparent where the page draws nothing.
    bool drawsBackground = true;
};

// A web view (main thread only), made by the UI backend: the headless one fetches
// documents over HTTP and runs no scripts; the desktop one is a real browser engine.
class WebView : public View {
public:
    using EvaluationCompletion = std::function<void(std::optional<nlohmann::json> result, std::optional<Error> error)>;

    static std::shared_ptr<WebView> make(Rect frame, WebViewConfiguration configuration);

    WebView(Rect frame, WebViewConfiguration configuration);
    ~WebView() override;

    const WebViewConfiguration& configuration() const { return configuration_; }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { navigationDelegate_ = std::move(delegate); }
    std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    bool allowsMagnification() const { return allowsMagnification_; }
    virtual void setAllowsMagnification(bool allows) { allowsMagnification_ = allows; }
    bool drawsBackground() const { return drawsBackground_; }
    virtual void setDrawsBackground(bool draws) { drawsBackground_ = draws; }

    virtual void loadHTMLString(std::string html, std::optional<URL> baseURL) = 0;
    // Asks the navigation delegate (navigation type other), then loads.
    virtual void load(URLRequest request) = 0;
    // The completion runs later on the main thread.
    virtual void evaluateJavaScript(const std::string& script, EvaluationCompletion completion = nullptr) = 0;
    // The document's URL (absent for an HTML string without a base URL).
    virtual std::optional<URL> url() const = 0;
    virtual bool isLoading() const = 0;
    // Where the panel opens in a browser when no panel is on screen (headless): the login
    // line once a route load carried the token cookie; absent until then or on a desktop.
    const std::optional<std::string>& browserLoginLine() const { return browserLoginLine_; }

protected:
    WebViewConfiguration configuration_;
    std::optional<std::string> browserLoginLine_;

private:
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    bool allowsMagnification_ = true;
    bool drawsBackground_ = true;
};

}  // namespace platform
