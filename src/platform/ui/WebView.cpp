#include "platform/ui/WebView.h"

#include <algorithm>
#include <cctype>

#include "platform/Dispatch.h"
#include "platform/Log.h"

namespace platform {

namespace {

// Without a display the panel is opened in a browser instead. The local server's
// login route turns the token into the same HttpOnly cookie there, so the first
// route load that carries it tells where to go.
constexpr const char* browserLoginCookieName = "tidemark_token";
constexpr const char* browserLoginPath = "/login?token=";

std::string percentEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

Error noScriptEngineError() {
    return Error{"WKErrorDomain", 4, "A JavaScript exception occurred (this web view runs no scripts)"};
}

}  // namespace

WebView::WebView(Rect frame, WebViewConfiguration configuration)
    : View(frame), configuration_(std::move(configuration)), drawsBackground_(configuration_.drawsBackground) {
    if (!configuration_.userContentController)
        configuration_.userContentController = std::make_shared<UserContentController>();
    if (!configuration_.websiteDataStore) configuration_.websiteDataStore = WebsiteDataStore::defaultDataStore();
}

WebView::~WebView() {
    if (session_) session_->invalidateAndCancel();
}

std::optional<URL> WebView::url() const {
    if (page_.kind == Page::Kind::request && page_.request) return URL::parse(page_.request->url);
    return std::nullopt;
}

void WebView::loadHTMLString(std::string html, std::optional<URL> baseURL) {
    ++generation_;
    page_ = Page{};
    page_.kind = Page::Kind::html;
    page_.html = std::move(html);
    page_.baseURL = std::move(baseURL);
}

void WebView::load(URLRequest request) { navigate(std::move(request), NavigationType::other); }

void WebView::navigate(URLRequest request, NavigationType type) {
    auto delegate = navigationDelegate();
    if (!delegate) {
        startLoad(std::move(request));
        return;
    }
    NavigationAction action{type, request, true};
    std::weak_ptr<WebView> weakSelf = std::static_pointer_cast<WebView>(shared_from_this());
    auto decided = std::make_shared<bool>(false);
    delegate->webView(*this, action, [weakSelf, decided, request](NavigationActionPolicy policy) {
        if (*decided) return;
        *decided = true;
        auto self = weakSelf.lock();
        if (self && policy == NavigationActionPolicy::allow) self->startLoad(request);
    });
}

void WebView::startLoad(URLRequest request) {
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
    std::weak_ptr<WebView> weakSelf = std::static_pointer_cast<WebView>(shared_from_this());
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

void WebView::announceBrowserLogin(const URL& url) {
    if (didAnnounceBrowserLogin_ || url.scheme() != "http" || url.host() != "127.0.0.1") return;
    for (const auto& cookie : configuration_.websiteDataStore->httpCookieStore().cookiesForURL(url)) {
        if (cookie.name() != browserLoginCookieName) continue;
        didAnnounceBrowserLogin_ = true;
        std::string origin = "http://127.0.0.1";
        if (url.port()) origin += ":" + std::to_string(*url.port());
        log("[Tidemark] Open the panel in a browser: " + origin + browserLoginPath + percentEncoded(cookie.value()));
        return;
    }
}

void WebView::evaluateJavaScript(const std::string& script, EvaluationCompletion completion) {
    ScriptedPage::Result result;
    if (scriptedPage_)
        result = scriptedPage_->evaluate(script);
    else
        result.error = noScriptEngineError();
    if (!completion) return;
    DispatchQueue::main()->async(
        [completion = std::move(completion), result = std::move(result)] { completion(result.value, result.error); });
}

void WebView::deliverScriptMessageForTesting(const std::string& name, nlohmann::json body, bool isMainFrame,
                                             const std::string& frameURL) {
    ScriptMessage message;
    message.name = name;
    message.body = std::move(body);
    message.frameInfo.isMainFrame = isMainFrame;
    message.frameInfo.request.url = frameURL;
    configuration_.userContentController->didReceive(message);
}

void WebView::followLinkForTesting(const std::string& url) {
    URLRequest request;
    request.url = url;
    navigate(std::move(request), NavigationType::linkActivated);
}

void WebView::navigateByScriptForTesting(const std::string& url) {
    URLRequest request;
    request.url = url;
    navigate(std::move(request), NavigationType::other);
}

}  // namespace platform
