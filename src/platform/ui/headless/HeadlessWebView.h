#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/URLSession.h"
#include "platform/ui/WebView.h"

namespace platform {

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

// The headless web view: it fetches a loaded request over HTTP, with the matching
// cookies of its data store, and keeps the resulting document as its page; it runs no
// scripts, so an evaluation completes with an error.
class HeadlessWebView final : public WebView {
public:
    HeadlessWebView(Rect frame, WebViewConfiguration configuration);
    ~HeadlessWebView() override;

    void loadHTMLString(std::string html, std::optional<URL> baseURL) override;
    void load(URLRequest request) override;
    void evaluateJavaScript(const std::string& script, EvaluationCompletion completion = nullptr) override;
    std::optional<URL> url() const override;
    bool isLoading() const override { return page_.isLoading; }

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

    Page page_;
    uint64_t generation_ = 0;
    std::shared_ptr<URLSession> session_;
    std::shared_ptr<ScriptedPage> scriptedPage_;
    bool didAnnounceBrowserLogin_ = false;
};

}  // namespace platform
