#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "panel/DockQuotaMessageHandler.h"
#include "platform/Error.h"
#include "platform/URL.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"
#include "server/NodeServerManager.h"

// Hosts the local web application in a transparent web view: the loading placeholder,
// the route load with the token cookie, the page bridge, the navigation policy and the
// error page. Main thread only; create it with std::make_shared.
class WebViewController : public platform::ViewController, public platform::NavigationDelegate {
public:
    using DockQuotaCallback = DockQuotaMessageHandler::Callback;

    struct ErrorContent {
        std::string title;
        std::string message;
        std::string hint;
    };

    static constexpr double routeLoadTimeout = 10;  // seconds
    static constexpr platform::Duration bridgeRetryDelay = std::chrono::milliseconds(50);
    static constexpr const char* cookieName = "tidemark_token";

    WebViewController(std::shared_ptr<NodeServerManager> serverManager, std::string route,
                      DockQuotaCallback onDockQuotaUpdate);

    const std::shared_ptr<NodeServerManager> serverManager;
    const std::string route;
    const std::shared_ptr<DockQuotaMessageHandler> dockQuotaMessageHandler;
    bool didWarm = false;
    bool didRequestAppLoad = false;
    bool isServerReady = false;

    // Created on first access.
    std::shared_ptr<platform::WebView> webView();

    void loadRouteIfNeeded(bool force);
    void evaluateTidemarkBridge(const std::string& method, int64_t remainingAttempts);
    void showError(const platform::Error& error);

    void installAuthenticationCookie(std::function<void()> completion);
    void webView(platform::WebView& webView, const platform::NavigationAction& action,
                 DecisionHandler decisionHandler) override;

    static ErrorContent friendlyErrorContent(const platform::Error& error);
    static bool shouldOpenExternally(const platform::URL& url);
    // The URL a route names below the base URL; absent if it would not be a valid URL.
    static std::optional<platform::URL> routeURL(const platform::URL& baseURL, const std::string& route);
    static std::string bridgeScript(const std::string& method);
    static std::string escapeHTML(const std::string& text);
    static std::string errorPageHTML(const ErrorContent& content);
    static const char* const placeholderHTML;
    // The seven properties of the token cookie.
    static platform::HTTPCookie::Properties cookieProperties(const platform::URL& baseURL, const std::string& token);

protected:
    void loadView() override;
    void viewDidLoad() override;

private:
    std::weak_ptr<WebViewController> weakSelf();

    std::shared_ptr<platform::WebView> webView_;
};
