#include "panel/WebViewController.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/RunLoop.h"
#include "platform/ui/HeadlessDriver.h"
#include "platform/ui/Workspace.h"
#include "server/ServerError.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::RunLoop;
using platform::URL;

namespace {

class WebViewControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunLoop::main().useManualClock(false);
        server_.server().Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            std::string query;
            for (const auto& [k, v] : request.params) query += (query.empty() ? "" : "&") + k + "=" + v;
            requests_.push_back({request.path, query, request.get_header_value("Cookie")});
            response.set_content("app", "text/html");
        });
        server_.start();
        serverManager_->setPortForTesting(server_.port());
        platform::Workspace::shared().setOpenerForTesting([this](const URL& url) {
            opened_.push_back(url.absoluteString());
            return true;
        });
    }
    void TearDown() override {
        platform::Workspace::shared().setOpenerForTesting(nullptr);
        RunLoop::main().useManualClock(false);
        RunLoop::main().runPending();
    }

    std::shared_ptr<WebViewController> make(std::string route = "?surface=panel") {
        return std::make_shared<WebViewController>(serverManager_, std::move(route),
                                                   [this](const nlohmann::json& body) { bodies_.push_back(body); });
    }
    struct Request {
        std::string path, query, cookie;
    };
    size_t requestCount() {
        std::lock_guard lock(mutex_);
        return requests_.size();
    }
    bool waitForRequests(size_t n) {
        return RunLoop::main().runUntil([&] { return requestCount() >= n; }, 5000ms);
    }
    // Gives a load that should not happen the time to show up.
    void settle() { RunLoop::main().runUntil([] { return false; }, 150ms); }

    testsupport::LocalHttpServer server_;
    std::shared_ptr<NodeServerManager> serverManager_ = std::make_shared<NodeServerManager>();
    std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<nlohmann::json> bodies_;
    std::vector<std::string> opened_;
};

}  // namespace

TEST_F(WebViewControllerTest, TheWebViewIsTransparentInMemoryAndStartsOnThePlaceholder) {
    auto controller = make();
    auto view = controller->view();
    auto web = uitest::headless(controller->webView());
    EXPECT_EQ(view, web);
    EXPECT_FALSE(web->drawsBackground());
    EXPECT_FALSE(web->configuration().drawsBackground);
    EXPECT_FALSE(web->configuration().websiteDataStore->isPersistent());
    EXPECT_FALSE(web->allowsMagnification());
    ASSERT_TRUE(web->layer());
    EXPECT_EQ(web->layer()->backgroundColor, platform::Color::clear());
    EXPECT_EQ(web->configuration().userContentController->handler("dockQuota"), controller->dockQuotaMessageHandler);
    EXPECT_EQ(web->page().kind, platform::HeadlessWebView::Page::Kind::html);
    EXPECT_EQ(web->page().html, WebViewController::placeholderHTML);
    EXPECT_FALSE(web->page().baseURL);
    for (const char* part : {"#f4f6f4", "#63d89e", "rgba(99,216,158,0.78)", "max-width: 760px", "1.5s", "2s"})
        EXPECT_NE(web->page().html.find(part), std::string::npos) << part;
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(WebViewControllerTest, RouteURLForms) {
    const URL base = *URL::parse("http://127.0.0.1:5230");
    EXPECT_EQ(WebViewController::routeURL(base, "?surface=panel")->absoluteString(), "http://127.0.0.1:5230?surface=panel");
    EXPECT_EQ(WebViewController::routeURL(base, "?surface=panel")->query(), "surface=panel");
    EXPECT_EQ(WebViewController::routeURL(base, "")->absoluteString(), "http://127.0.0.1:5230");
    EXPECT_EQ(WebViewController::routeURL(base, "panel")->path(), "/panel");
    EXPECT_EQ(WebViewController::routeURL(base, "?a b=<%>#x")->query(), "a%20b=%3C%25%3E%23x");
}

TEST_F(WebViewControllerTest, TheRouteLoadsOnceWithTheTokenCookieAndAgainWhenForcedOrAfterAnError) {
    auto controller = make();
    controller->view();
    controller->loadRouteIfNeeded(false);
    EXPECT_TRUE(controller->didRequestAppLoad);
    EXPECT_TRUE(controller->didWarm);
    ASSERT_TRUE(waitForRequests(1));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(requests_[0].path, "/");
        EXPECT_EQ(requests_[0].query, "surface=panel");
        EXPECT_EQ(requests_[0].cookie, "tidemark_token=" + serverManager_->token());
    }
    auto web = uitest::headless(controller->webView());
    ASSERT_TRUE(web->page().request);
    EXPECT_EQ(web->page().request->cachePolicy, platform::CachePolicy::returnCacheDataElseLoad);
    EXPECT_EQ(static_cast<int>(web->page().request->cachePolicy), 2);
    EXPECT_EQ(web->page().request->timeoutInterval, 10.0);

    auto& store = web->configuration().websiteDataStore->httpCookieStore();
    ASSERT_EQ(store.cookies().size(), 1u);
    const auto& cookie = store.cookies()[0];
    EXPECT_EQ(cookie.name(), "tidemark_token");
    EXPECT_EQ(cookie.value(), serverManager_->token());
    EXPECT_EQ(cookie.domain(), "127.0.0.1");
    EXPECT_EQ(cookie.path(), "/");
    EXPECT_TRUE(cookie.isSessionOnly());
    EXPECT_TRUE(cookie.isHTTPOnly());
    EXPECT_FALSE(cookie.isSecure());
    EXPECT_EQ(cookie.sameSitePolicy(), "Strict");
    EXPECT_FALSE(cookie.expiresDate());
    EXPECT_EQ(cookie.properties().size(), 7u);

    controller->loadRouteIfNeeded(false);
    settle();
    EXPECT_EQ(requestCount(), 1u) << "a second non-forced load does nothing";

    // Forced: the cookie goes in again before the load, even if it was lost.
    store.deleteCookie(cookie);
    controller->loadRouteIfNeeded(true);
    ASSERT_TRUE(waitForRequests(2));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(requests_[1].cookie, "tidemark_token=" + serverManager_->token());
    }
    EXPECT_EQ(store.cookies().size(), 1u);

    controller->showError(ServerError::healthCheckTimedOut().asError());
    EXPECT_FALSE(controller->didRequestAppLoad);
    controller->loadRouteIfNeeded(false);
    ASSERT_TRUE(waitForRequests(3));
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return !web->isLoading(); }, 5000ms));
    EXPECT_EQ(web->page().kind, platform::HeadlessWebView::Page::Kind::request);
    EXPECT_EQ(web->page().body, "app");
}

TEST_F(WebViewControllerTest, OtherRoutesAndACookieThatCannotBeBuilt) {
    auto plain = make("");
    plain->loadRouteIfNeeded(false);
    auto path = make("panel");
    path->loadRouteIfNeeded(false);
    ASSERT_TRUE(waitForRequests(2));
    std::lock_guard lock(mutex_);
    std::set<std::string> paths{requests_[0].path, requests_[1].path};
    EXPECT_EQ(paths, (std::set<std::string>{"/", "/panel"}));

    // The token is made of hex digits, so the cookie always builds; a value with a
    // semicolon would not, and the route would then load without it.
    EXPECT_FALSE(platform::HTTPCookie::make(WebViewController::cookieProperties(
        *URL::parse(server_.baseURL()), "a;b")));
    EXPECT_TRUE(platform::HTTPCookie::make(WebViewController::cookieProperties(
        *URL::parse(server_.baseURL()), serverManager_->token())));
}

TEST_F(WebViewControllerTest, TheErrorPageHasTheFixedTextsOfEachKindAndNeverTheErrorsOwn) {
    auto controller = make();
    auto web = uitest::headless(controller->webView());
    struct Case {
        platform::Error error;
        std::string title, message, hint;
    };
    const Case cases[] = {
        {ServerError::launchFailed("<script>alert('x')</script> & more").asError(), "Tidemark could not open right now",
         "The view did not start the way it should have.", "Please close and open Tidemark again."},
        {ServerError::healthCheckTimedOut().asError(), "Tidemark is taking longer than expected",
         "Your live view is not ready just yet.", "Please close and open Tidemark again in a moment."},
        {platform::Error{"NSPOSIXErrorDomain", 2, "<b>No such file</b>"}, "Tidemark could not open right now",
         "The live view is temporarily unavailable.", "Please close and open Tidemark again."},
        {platform::Error{ServerError::domain, 7, "unknown case"}, "Tidemark could not open right now",
         "The live view is temporarily unavailable.", "Please close and open Tidemark again."},
    };
    for (const auto& k : cases) {
        const auto content = WebViewController::friendlyErrorContent(k.error);
        EXPECT_EQ(content.title, k.title);
        EXPECT_EQ(content.message, k.message);
        EXPECT_EQ(content.hint, k.hint);
        controller->showError(k.error);
        const std::string& html = web->page().html;
        EXPECT_NE(html.find("<h1>" + k.title + "</h1>\n        <p>" + k.message + "</p>\n        <p class=\"hint\">" +
                            k.hint + "</p>\n      </div>\n    </div>\n  </div>\n</body>\n</html>"),
                  std::string::npos);
        EXPECT_EQ(html.find(k.error.description), std::string::npos);
        EXPECT_EQ(html.find("<script"), std::string::npos);
        EXPECT_FALSE(web->page().baseURL);
        for (const char* part : {"Tidemark", "Live system view", "#f5f7f5", "#64d89f", "#9af1c1", "#c8d0cb", "#8d9892",
                                 "color-scheme", "device-width", "utf-8"})
            EXPECT_NE(html.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(WebViewController::escapeHTML("a&b<c>d&lt;"), "a&amp;b&lt;c&gt;d&amp;lt;");
    const auto page = WebViewController::errorPageHTML({"<T&>", "M>", "<H"});
    EXPECT_NE(page.find("<h1>&lt;T&amp;&gt;</h1>"), std::string::npos);
    EXPECT_NE(page.find("<p>M&gt;</p>"), std::string::npos);
    EXPECT_NE(page.find("<p class=\"hint\">&lt;H</p>"), std::string::npos);
}

TEST_F(WebViewControllerTest, FollowedLinksToOtherHostsOpenInTheBrowserAndLoopbackStays) {
    auto controller = make();
    auto web = uitest::headless(controller->webView());
    controller->view();
    const uint64_t start = web->navigationCount();

    web->followLinkForTesting("https://example.com/docs");
    web->followLinkForTesting("http://Example.ORG/");
    EXPECT_EQ(opened_, (std::vector<std::string>{"https://example.com/docs", "http://Example.ORG/"}));
    EXPECT_EQ(web->navigationCount(), start) << "the panel stays where it was";
    EXPECT_EQ(web->page().kind, platform::HeadlessWebView::Page::Kind::html);

    web->followLinkForTesting(server_.baseURL() + "/inside");
    EXPECT_EQ(web->url()->path(), "/inside");
    web->followLinkForTesting("http://LOCALHOST:1/elsewhere");
    EXPECT_EQ(web->url()->host(), "localhost");
    web->followLinkForTesting("http://127.0.0.1:9/other-port");
    EXPECT_EQ(web->url()->path(), "/other-port");
    web->followLinkForTesting("ftp://example.com/file");
    EXPECT_EQ(web->url()->scheme(), "ftp") << "other schemes are left to the web view";
    web->navigateByScriptForTesting("https://remote.example/");
    EXPECT_EQ(web->url()->host(), "remote.example") << "script navigations are not intercepted";
    EXPECT_EQ(opened_.size(), 2u);

    EXPECT_TRUE(WebViewController::shouldOpenExternally(*URL::parse("HTTPS://WWW.EXAMPLE.COM")));
    EXPECT_FALSE(WebViewController::shouldOpenExternally(*URL::parse("http://LocalHost:80/")));
    EXPECT_FALSE(WebViewController::shouldOpenExternally(*URL::parse("file://127.0.0.2/x")));
    EXPECT_FALSE(WebViewController::shouldOpenExternally(*URL::parse("mailto://someone")));
}

TEST_F(WebViewControllerTest, DockQuotaMessagesOnlyFromTheMainFrameOfTheLoopbackPage) {
    auto controller = make();
    auto web = uitest::headless(controller->webView());
    const nlohmann::json state = {{"enabled", true}, {"providers", nlohmann::json::array()}};
    for (const char* url : {"http://localhost:5230/", "https://127.0.0.1/", "http://127.0.0.2/", "", "about:blank",
                            "file:///tmp/x.html"})
        web->deliverScriptMessageForTesting("dockQuota", state, true, url);
    web->deliverScriptMessageForTesting("dockQuota", state, false, "http://127.0.0.1:5230/");
    EXPECT_TRUE(bodies_.empty());

    const nlohmann::json bodies[] = {state, nlohmann::json::array({1, 2}), "text", 4.5, false, nullptr};
    for (const auto& body : bodies) web->deliverScriptMessageForTesting("dockQuota", body, true, "HTTP://127.0.0.1:1/?x");
    ASSERT_EQ(bodies_.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(bodies_[i], bodies[i]);

    platform::ScriptMessage other{"somethingElse", state, {true, {}}};
    other.frameInfo.request.url = "http://127.0.0.1/";
    controller->dockQuotaMessageHandler->userContentController(*web->configuration().userContentController, other);
    EXPECT_EQ(bodies_.size(), 6u) << "another name is ignored";
}

TEST_F(WebViewControllerTest, TheBridgeRetriesEvery50msWithinItsBudget) {
    RunLoop::main().useManualClock(true);
    auto controller = make();
    auto web = uitest::headless(controller->webView());
    auto page = std::make_shared<uitest::BridgePage>();
    page->bridgeReadyAfter = 1000;
    web->setScriptedPageForTesting(page);

    controller->evaluateTidemarkBridge("onPanelOpen", 0);
    RunLoop::main().advance(1s);
    EXPECT_EQ(page->attempts["onPanelOpen"], 1) << "budget 0: one evaluation, no retry";

    controller->evaluateTidemarkBridge("onPanelClose", 3);
    uitest::runMainQueue();
    EXPECT_EQ(page->attempts["onPanelClose"], 1);
    RunLoop::main().advance(40ms);
    EXPECT_EQ(page->attempts["onPanelClose"], 1) << "not before 50 ms";
    RunLoop::main().advance(15ms);
    EXPECT_EQ(page->attempts["onPanelClose"], 2);
    RunLoop::main().advance(1s);
    EXPECT_EQ(page->attempts["onPanelClose"], 4) << "budget n: n + 1 evaluations";

    // The bridge appears at the fifth try: it is called once and retries stop.
    page->attempts.clear();
    page->bridgeReadyAfter = 4;
    controller->evaluateTidemarkBridge("onPanelOpen", 120);
    RunLoop::main().advance(2s);
    EXPECT_EQ(page->attempts["onPanelOpen"], 5);
    EXPECT_EQ(page->calls, (std::vector<std::string>{"onPanelOpen"}));

    // Values that are not true count as not ready, errors too.
    int evaluations = 0;
    page->answer = [&](const std::string&) -> platform::ScriptedPage::Result {
        ++evaluations;
        if (evaluations == 1) return {nlohmann::json("true"), std::nullopt};
        if (evaluations == 2) return {nlohmann::json(1), std::nullopt};
        if (evaluations == 3) return {std::nullopt, platform::Error{"WKErrorDomain", 4, "thrown"}};
        return {nlohmann::json(true), std::nullopt};
    };
    controller->evaluateTidemarkBridge("onPanelOpen", 120);
    RunLoop::main().advance(2s);
    EXPECT_EQ(evaluations, 4);

    // A page without a script engine: the budget runs out, about a second for 20.
    page->answer = nullptr;
    web->setScriptedPageForTesting(nullptr);
    std::weak_ptr<WebViewController> weak = controller;
    const auto before = RunLoop::main().now();
    controller->evaluateTidemarkBridge("onPanelClose", 20);
    RunLoop::main().advance(900ms);
    controller.reset();
    RunLoop::main().advance(2s);
    EXPECT_FALSE(weak.lock()) << "pending retries do not keep the controller alive";
    EXPECT_GE(RunLoop::main().now() - before, 2s);
}

TEST(WebViewControllerBridge, TheScriptCallsTheNamedFunctionOfTheBridgeObject) {
    EXPECT_EQ(WebViewController::bridgeScript("onPanelOpen"),
              "(function() {\n  try {\n    var bridge = window.__tidemark;\n    if (bridge && typeof bridge.onPanelOpen"
              " === 'function') {\n      bridge.onPanelOpen();\n      return true;\n    }\n  } catch (e) {}\n  return "
              "false;\n})();");
    EXPECT_EQ(uitest::bridgeMethod(WebViewController::bridgeScript("onPanelClose")), "onPanelClose");
}
