#include "platform/ui/headless/HeadlessWebView.h"

#include <algorithm>
#include <cctype>

#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/ui/BrowserLogin.h"

namespace platform {

namespace {

Error noScriptEngineError() {
    return Error{"WKErrorDomain", 4, "A JavaScript exception occurred (this web view runs no scripts)"};
}

}  // namespace

HeadlessWebView::HeadlessWebView(Rect frame, WebViewConfiguration configuration)
    : WebView(frame, std::move(configuration)) {}

HeadlessWebView::~HeadlessWebView() {
    if (session_) session_->invalidateAndCancel();
}

std::optional<URL> HeadlessWebView::url() const {
    if (page_.kind == Page::Kind::request && page_.request) return URL::parse(page_.request->url);
    return std::nullopt;
}

void HeadlessWebView::loadHTMLString(std::string html, std::optional<URL> baseURL) {
    ++generation_;
    page_ = Page{};
    page_.kind = Page::Kind::html;
    page_.html = std::move(html);
    page_.baseURL = std::move(baseURL);
}

void HeadlessWebView::load(URLRequest request) { navigate(std::move(request), NavigationType::other); }

void HeadlessWebView::navigate(URLRequest request, NavigationType type) {
    auto delegate = navigationDelegate();
    if (!delegate) {
        startLoad(std::move(request));
        return;
    }
    NavigationAction action{type, request, true};
    std::weak_ptr<HeadlessWebView> weakSelf = std::static_pointer_cast<HeadlessWebView>(shared_from_this());
    auto decided = std::make_shared<bool>(false);
    delegate->webView(*this, action, [weakSelf, decided, request](NavigationActionPolicy policy) {
        if (*decided) return;
        *decided = true;
        auto self = weakSelf.lock();
        if (self && policy == NavigationActionPolicy::allow) self->startLoad(request);
    });
}

void HeadlessWebView::startLoad(URLRequest request) {
    ++generation_;
    page_ = Page{};
    page_.kind = Page::Kind::request;
    auto url = URL::parse(request.url);
    if (!url) {
        page_.request = std::move(request);
        page_.error = Error{URLErrorDomain, URLErrorBadURL, "unsupported URL"};
        return;
    }
    request.headers.erase(std::remove_if(request.headers.begin(), request.headers.end(),
                                         [](const auto& h) {
                                             std::string name = h.first;
                                             for (auto& c : name) c = static_cast<char>(std::tolower(c));
                                             return name == "cookie";
                                         }),
                          request.headers.end());
    if (auto cookies = configuration_.websiteDataStore->httpCookieStore().cookieHeaderForURL(*url))
        request.setValue(*cookies, "Cookie");
    page_.request = request;
    page_.isLoading = true;
    announceBrowserLogin(*url);

    if (!session_) session_ = URLSession::make(URLSessionConfiguration::ephemeral());
    const uint64_t generation = generation_;
    std::weak_ptr<HeadlessWebView> weakSelf = std::static_pointer_cast<HeadlessWebView>(shared_from_this());
    auto task = session_->dataTask(request, [weakSelf, generation](std::optional<std::string> data,
                                                                   std::optional<HTTPURLResponse> response,
                                                                   std::optional<Error> error) {
        DispatchQueue::main()->async([weakSelf, generation, data = std::move(data), response = std::move(response),
                                      error = std::move(error)] {
            auto self = weakSelf.lock();
            // A later document replaced this one.
            if (!self || self->generation_ != generation) return;
            self->page_.isLoading = false;
            if (response) self->page_.statusCode = response->statusCode;
            self->page_.body = data;
            self->page_.error = error;
            // Nothing is loading any more: the session's thread goes until the next load.
            self->session_.reset();
        });
    });
    task->resume();
}

void HeadlessWebView::announceBrowserLogin(const URL& url) {
    if (didAnnounceBrowserLogin_) return;
    if (auto line = BrowserLogin::line(url, configuration_.websiteDataStore->httpCookieStore())) {
        didAnnounceBrowserLogin_ = true;
        browserLoginLine_ = line;
        log(*line);
    }
}

void HeadlessWebView::evaluateJavaScript(const std::string& script, EvaluationCompletion completion) {
    ScriptedPage::Result result;
    if (scriptedPage_)
        result = scriptedPage_->evaluate(script);
    else
        result.error = noScriptEngineError();
    if (!completion) return;
    DispatchQueue::main()->async(
        [completion = std::move(completion), result = std::move(result)] { completion(result.value, result.error); });
}

void HeadlessWebView::deliverScriptMessageForTesting(const std::string& name, nlohmann::json body, bool isMainFrame,
                                             const std::string& frameURL) {
    ScriptMessage message;
    message.name = name;
    message.body = std::move(body);
    message.frameInfo.isMainFrame = isMainFrame;
    message.frameInfo.request.url = frameURL;
    configuration_.userContentController->didReceive(message);
}

void HeadlessWebView::followLinkForTesting(const std::string& url) {
    URLRequest request;
    request.url = url;
    navigate(std::move(request), NavigationType::linkActivated);
}

void HeadlessWebView::navigateByScriptForTesting(const std::string& url) {
    URLRequest request;
    request.url = url;
    navigate(std::move(request), NavigationType::other);
}

}  // namespace platform
