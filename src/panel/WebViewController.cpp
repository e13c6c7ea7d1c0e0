#include "panel/WebViewController.h"

#include <cctype>

#include "platform/Dispatch.h"
#include "platform/graphics/Color.h"
#include "platform/ui/Workspace.h"
#include "server/ServerError.h"

namespace {

// What URL components let stand in a query; everything else is percent-encoded.
std::string encodeQuery(const std::string& query) { return platform::percentEncoded(query, "!$&'()*+,;=:@/?"); }

std::string lowercased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* const errorPageHead = R"HTML(<!doctype html>
<html>
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <meta name="color-scheme" content="dark">
  <style>
    :root { color-scheme: dark; }
    * { box-sizing: border-box; }
    html { background: transparent; }
    body {
      margin: 0;
      min-height: 100vh;
      padding: 18px;
      font-family: ui-sans-serif,system-ui,-apple-system,BlinkMacSystemFont,"SF Pro Display","Segoe UI",sans-serif;
      color: #f5f7f5;
      background: radial-gradient(circle at top left,rgba(97,170,142,0.18),transparent 22rem),linear-gradient(180deg,rgba(12,15,16,0.96),rgba(13,16,17,0.96));
    }
    .shell {
      min-height: calc(100vh - 36px);
      border-radius: 18px;
      border: 1px solid rgba(255,255,255,0.06);
      background: linear-gradient(180deg,rgba(255,255,255,0.035),rgba(255,255,255,0)),rgba(16,19,20,0.78);
      backdrop-filter: blur(18px) saturate(135%);
      -webkit-backdrop-filter: blur(18px) saturate(135%);
      padding: 22px 20px;
      display: flex;
      flex-direction: column;
    }
    .brand { display: flex; align-items: center; gap: 10px; margin-bottom: 24px; }
    .dot { width: 12px; height: 12px; border-radius: 50%; background: #64d89f; box-shadow: 0 0 16px rgba(100,216,159,0.55); }
    .brand p { margin: 0; }
    .brand .title { font-size: 15px; font-weight: 700; }
    .brand .subtitle { font-size: 12px; color: #8d9892; margin-top: 2px; }
    .filler { flex: 1; display: flex; align-items: center; }
    .card {
      width: 100%;
      padding: 22px 18px 18px;
      border-radius: 18px;
      border: 1px solid rgba(255,255,255,0.05);
      background: rgba(255,255,255,0.025);
      box-shadow: inset 0 1px 0 rgba(255,255,255,0.03);
    }
    .icon {
      width: 42px;
      height: 42px;
      border-radius: 14px;
      background: linear-gradient(180deg,rgba(111,217,167,0.18),rgba(111,217,167,0.08));
      border: 1px solid rgba(111,217,167,0.16);
      margin-bottom: 16px;
      display: flex;
      align-items: center;
      justify-content: center;
      color: #9af1c1;
      font-size: 18px;
      font-weight: 700;
    }
    h1 { margin: 0 0 8px; font-size: 22px; line-height: 1.15; }
    .card p { margin: 0; font-size: 14px; color: #c8d0cb; line-height: 1.55; }
    .card p.hint { margin-top: 14px; font-size: 12px; color: #8d9892; }
  </style>
</head>
<body>
  <div class="shell">
    <div class="brand">
      <div class="dot"></div>
      <div>
        <p class="title">Tidemark</p>
        <p class="subtitle">Live system view</p>
      </div>
    </div>
    <div class="filler">
      <div class="card">
        <div class="icon">!</div>
        <h1>)HTML";

}  // namespace

const char* const WebViewController::placeholderHTML = R"HTML(<!doctype html>
<html>
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <style>
    * { box-sizing: border-box; }
    html { background: transparent; }
    body {
      margin: 0;
      font-family: Inter,ui-sans-serif,system-ui,-apple-system,sans-serif;
      color: #f4f6f4;
      padding: 14px 18px;
      height: 100vh;
      overflow: hidden;
      background: radial-gradient(circle at top left,rgba(97,170,142,0.18),transparent 34rem),linear-gradient(135deg,#101214 0%,#171b1b 42%,#0e1113 100%);
    }
    .top { display: flex; align-items: center; gap: 10px; margin-bottom: 14px; }
    .dot { width: 12px; height: 12px; border-radius: 50%; background: #63d89e; box-shadow: 0 0 18px rgba(99,216,158,0.78); animation: pulse 2s ease-in-out infinite; }
    @keyframes pulse { 0% { opacity: 1; } 50% { opacity: 0.4; } 100% { opacity: 1; } }
    .titles { display: flex; flex-direction: column; gap: 3px; }
    .bar {
      border-radius: 4px;
      background: linear-gradient(90deg,rgba(255,255,255,0.04) 25%,rgba(255,255,255,0.09) 50%,rgba(255,255,255,0.04) 75%);
      background-size: 200% 100%;
      animation: shimmer 1.5s linear infinite;
    }
    @keyframes shimmer { from { background-position: 200% 0; } to { background-position: -200% 0; } }
    .title { width: 80px; height: 18px; }
    .subtitle { width: 100px; height: 12px; }
    .controls { display: flex; gap: 6px; margin-bottom: 14px; }
    .control { width: 32px; height: 26px; border-radius: 6px; }
    .grid { display: grid; grid-template-columns: repeat(4, 1fr); gap: 8px; }
    @media (max-width: 760px) { .grid { grid-template-columns: 1fr; } }
    .card { min-height: 104px; display: flex; flex-direction: column; gap: 8px; padding: 12px; border-radius: 12px; background: rgba(255,255,255,0.025); border: 1px solid rgba(255,255,255,0.05); }
    .label { width: 40px; height: 12px; }
    .value { width: 60px; height: 14px; }
    .chart { height: 56px; border-radius: 6px; }
  </style>
</head>
<body>
  <div class="top">
    <div class="dot"></div>
    <div class="titles"><div class="bar title"></div><div class="bar subtitle"></div></div>
  </div>
  <div class="controls">
    <div class="bar control"></div><div class="bar control"></div><div class="bar control"></div><div class="bar control"></div><div class="bar control"></div>
  </div>
  <div class="grid">
    <div class="card"><div class="bar label"></div><div class="bar value"></div><div class="bar chart"></div></div>
    <div class="card"><div class="bar label"></div><div class="bar value"></div><div class="bar chart"></div></div>
    <div class="card"><div class="bar label"></div><div class="bar value"></div><div class="bar chart"></div></div>
    <div class="card"><div class="bar label"></div><div class="bar value"></div><div class="bar chart"></div></div>
  </div>
</body>
</html>
)HTML";

WebViewController::WebViewController(std::shared_ptr<NodeServerManager> serverManager, std::string route,
                                     DockQuotaCallback onDockQuotaUpdate)
    : serverManager(std::move(serverManager)),
      route(std::move(route)),
      dockQuotaMessageHandler(std::make_shared<DockQuotaMessageHandler>(std::move(onDockQuotaUpdate))) {}

std::weak_ptr<WebViewController> WebViewController::weakSelf() {
    return std::static_pointer_cast<WebViewController>(shared_from_this());
}

std::shared_ptr<platform::WebView> WebViewController::webView() {
    if (webView_) return webView_;
    platform::WebViewConfiguration configuration;
    configuration.drawsBackground = false;
    configuration.websiteDataStore = platform::WebsiteDataStore::nonPersistent();
    configuration.userContentController->add(dockQuotaMessageHandler, "dockQuota");
    webView_ = platform::WebView::make(platform::Rect{}, configuration);
    webView_->setNavigationDelegate(std::static_pointer_cast<WebViewController>(shared_from_this()));
    webView_->setDrawsBackground(false);
    if (auto layer = webView_->layer()) {
        layer->isOpaque = false;
        layer->backgroundColor = platform::Color::clear();
    }
    webView_->setAllowsMagnification(false);
    return webView_;
}

void WebViewController::loadView() {
    auto web = webView();
    setView(web);
    web->setWantsLayer(true);
    if (auto layer = web->layer()) layer->backgroundColor = platform::Color::clear();
}

void WebViewController::viewDidLoad() { webView()->loadHTMLString(placeholderHTML, std::nullopt); }

std::optional<platform::URL> WebViewController::routeURL(const platform::URL& baseURL, const std::string& route) {
    if (route.empty()) return baseURL;
    if (route[0] == '?') {
        const std::string& text = baseURL.absoluteString();
        const std::string withoutQuery = text.substr(0, text.find_first_of("?#", text.find("://") + 3));
        return platform::URL::parse(withoutQuery + "?" + encodeQuery(route.substr(1)));
    }
    return baseURL.appendingPathComponent(route);
}

void WebViewController::loadRouteIfNeeded(bool force) {
    if (!force && didRequestAppLoad) return;
    const auto target = routeURL(serverManager->baseURL(), route);
    didRequestAppLoad = true;
    didWarm = true;
    if (!target) return;
    auto weak = weakSelf();
    installAuthenticationCookie([weak, url = target->absoluteString()] {
        auto self = weak.lock();
        if (!self) return;
        platform::URLRequest request;
        request.url = url;
        request.cachePolicy = platform::CachePolicy::returnCacheDataElseLoad;
        request.timeoutInterval = routeLoadTimeout;
        self->webView()->load(std::move(request));
    });
}

platform::HTTPCookie::Properties WebViewController::cookieProperties(const platform::URL& baseURL,
                                                                     const std::string& token) {
    namespace key = platform::HTTPCookiePropertyKey;
    return {
        {key::originURL, baseURL.absoluteString()},
        {key::path, "/"},
        {key::name, cookieName},
        {key::value, token},
        {key::discard, "TRUE"},
        {"HttpOnly", "TRUE"},
        {"SameSite", "Strict"},
    };
}

void WebViewController::installAuthenticationCookie(std::function<void()> completion) {
    auto cookie = platform::HTTPCookie::make(cookieProperties(serverManager->baseURL(), serverManager->token()));
    if (!cookie) {
        completion();
        return;
    }
    webView()->configuration().websiteDataStore->httpCookieStore().setCookie(
        *cookie, [completion = std::move(completion)] { platform::DispatchQueue::main()->async(completion); });
}

std::string WebViewController::bridgeScript(const std::string& method) {
    return "(function() {\n  try {\n    var bridge = window.__tidemark;\n    if (bridge && typeof bridge." + method +
           " === 'function') {\n      bridge." + method +
           "();\n      return true;\n    }\n  } catch (e) {}\n  return false;\n})();";
}

void WebViewController::evaluateTidemarkBridge(const std::string& method, int64_t remainingAttempts) {
    view();
    auto weak = weakSelf();
    webView()->evaluateJavaScript(
        bridgeScript(method), [weak, method, remainingAttempts](std::optional<nlohmann::json> result,
                                                                std::optional<platform::Error>) {
            if (result && result->is_boolean() && result->get<bool>()) return;
            if (remainingAttempts < 1) return;
            platform::DispatchQueue::main()->asyncAfter(bridgeRetryDelay, [weak, method, remainingAttempts] {
                if (auto self = weak.lock()) self->evaluateTidemarkBridge(method, remainingAttempts - 1);
            });
        });
}

bool WebViewController::shouldOpenExternally(const platform::URL& url) {
    const std::string scheme = lowercased(url.scheme());
    if (scheme.empty()) return false;
    if (scheme != "http" && scheme != "https") return false;
    const std::string host = lowercased(url.host());
    if (host.empty()) return true;
    return host != "127.0.0.1" && host != "localhost";
}

void WebViewController::webView(platform::WebView&, const platform::NavigationAction& action,
                                DecisionHandler decisionHandler) {
    if (action.navigationType != platform::NavigationType::linkActivated) {
        decisionHandler(platform::NavigationActionPolicy::allow);
        return;
    }
    const auto url = platform::URL::parse(action.request.url);
    if (url && shouldOpenExternally(*url)) {
        platform::Workspace::shared().open(*url);
        decisionHandler(platform::NavigationActionPolicy::cancel);
        return;
    }
    decisionHandler(platform::NavigationActionPolicy::allow);
}

WebViewController::ErrorContent WebViewController::friendlyErrorContent(const platform::Error& error) {
    if (auto serverError = ServerError::from(error)) {
        switch (serverError->kind()) {
            case ServerError::Case::launchFailed:
                return {"Tidemark could not open right now", "The view did not start the way it should have.",
                        "Please close and open Tidemark again."};
            case ServerError::Case::healthCheckTimedOut:
                return {"Tidemark is taking longer than expected", "Your live view is not ready just yet.",
                        "Please close and open Tidemark again in a moment."};
        }
    }
    return {"Tidemark could not open right now", "The live view is temporarily unavailable.",
            "Please close and open Tidemark again."};
}

std::string WebViewController::escapeHTML(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string WebViewController::errorPageHTML(const ErrorContent& content) {
    std::string page = errorPageHead;
    page += escapeHTML(content.title);
    page += "</h1>\n        <p>";
    page += escapeHTML(content.message);
    page += "</p>\n        <p class=\"hint\">";
    page += escapeHTML(content.hint);
    page += "</p>\n      </div>\n    </div>\n  </div>\n</body>\n</html>";
    return page;
}

void WebViewController::showError(const platform::Error& error) {
    view();
    didRequestAppLoad = false;
    webView()->loadHTMLString(errorPageHTML(friendlyErrorContent(error)), std::nullopt);
}
