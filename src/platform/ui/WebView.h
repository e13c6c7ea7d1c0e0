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

// Tests stand in for the page's scripts with one of these; it answers every
// evaluation in the web view.
class ScriptedPage {
public:
    struct Result {
        std::optional<nlohmann::json> value;
        std::optional<Error> error;
    };
    virtual ~ScriptedPage() = default;
    virtual Result evaluate(const std::string& script) = 0;
};

// A web view (main thread only). The headless backend fetches a loaded request over
// HTTP, with the matching cookies of its data store, and keeps the resulting document
// as its page; it runs no scripts, so an evaluation completes with an error.
class WebView : public View {
public:
    using EvaluationCompletion = std::function<void(std::optional<nlohmann::json> result, std::optional<Error> error)>;

    WebView(Rect frame, WebViewConfiguration configuration);
    ~WebView() override;

    const WebViewConfiguration& configuration() const { return configuration_; }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { navigationDelegate_ = std::move(delegate); }
    std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    bool allowsMagnification() const { return allowsMagnification_; }
    void setAllowsMagnification(bool allows) { allowsMagnification_ = allows; }
    bool drawsBackground() const { return drawsBackground_; }
    void setDrawsBackground(bool draws) { drawsBackground_ = draws; }

    void loadHTMLString(std::string html, std::optional<URL> baseURL);
    // Asks the navigation delegate (navigation type other), then loads.
    void load(URLRequest request);
    // The completion runs later on the main thread.
    void evaluateJavaScript(const std::string& script, EvaluationCompletion completion = nullptr);

    // What the web view shows.
    struct Page {
        enum class Kind { none, html, request };
        Kind kind = Kind::none;
        std::string html;
        std::optional<URL> baseURL;
        // The request as sent (with its Cookie header).
        std::optional<URLRequest> request;
        bool isLoading = false;
        std::optional<long> statusCode;
        std::optional<std::string> body;
        std::optional<Error> error;
    };
    const Page& page() const { return page_; }
    std::optional<URL> url() const;
    bool isLoading() const { return page_.isLoading; }
    // Documents started so far (HTML strings and requests).
    uint64_t navigationCount() const { return generation_; }

    // Test hooks: the page's side of the web view.
    void setScriptedPageForTesting(std::shared_ptr<ScriptedPage> page) { scriptedPage_ = std::move(page); }
    // The page posts a script message from a frame with the given document URL.
    void deliverScriptMessageForTesting(const std::string& name, nlohmann::json body, bool isMainFrame,
                                        const std::string& frameURL);
    // The user follows a link in the page (navigation type link activated).
    void followLinkForTesting(const std::string& url);
    // A script of the page changes the location (navigation type other).
    void navigateByScriptForTesting(const std::string& url);

private:
    void navigate(URLRequest request, NavigationType type);
    void startLoad(URLRequest request);
    void announceBrowserLogin(const URL& url);

    WebViewConfiguration configuration_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    bool allowsMagnification_ = true;
    bool drawsBackground_ = true;
    Page page_;
    uint64_t generation_ = 0;
    std::shared_ptr<URLSession> session_;
    std::shared_ptr<ScriptedPage> scriptedPage_;
    bool didAnnounceBrowserLogin_ = false;
};

}  // namespace platform
