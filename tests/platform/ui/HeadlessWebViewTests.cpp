#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include "platform/FileManager.h"
#include "platform/RunLoop.h"
#include "platform/ui/HeadlessDriver.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Workspace.h"
#include "support/TestSupport.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> requests;  // target, Cookie header
    void add(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        std::string target = request.path;
        if (!request.params.empty()) {
            target += "?";
            bool first = true;
            for (const auto& [k, v] : request.params) {
                target += (first ? "" : "&") + k + "=" + v;
                first = false;
            }
        }
        requests.emplace_back(target, request.get_header_value("Cookie"));
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }
};

class HeadlessWebViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunLoop::main().useManualClock(false);
        server_.server().Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            seen_.add(request);
            if (request.path == "/slow") std::this_thread::sleep_for(300ms);
            response.set_content("<html>page " + request.path + "</html>", "text/html");
        });
        server_.start();
    }
    void TearDown() override { RunLoop::main().runPending(); }

    std::shared_ptr<HeadlessWebView> makeWebView() {
        WebViewConfiguration configuration;
        configuration.websiteDataStore = WebsiteDataStore::nonPersistent();
        return std::make_shared<HeadlessWebView>(Rect{}, configuration);
    }
    static HTTPCookie cookie(const std::string& origin, const std::string& name, const std::string& value) {
        namespace key = HTTPCookiePropertyKey;
        return *HTTPCookie::make({{key::originURL, origin}, {key::path, "/"}, {key::name, name}, {key::value, value}});
    }
    bool waitLoaded(WebView& view) {
        return RunLoop::main().runUntil([&] { return !view.isLoading(); }, 5000ms);
    }

    testsupport::LocalHttpServer server_;
    Seen seen_;
};

}  // namespace

TEST_F(HeadlessWebViewTest, LoadFetchesWithTheMatchingCookiesOfItsStoreAndKeepsThePage) {
    auto view = makeWebView();
    auto& store = view->configuration().websiteDataStore->httpCookieStore();
    store.setCookie(cookie(server_.baseURL(), "tidemark_token", "T0K"));
    store.setCookie(cookie("http://example.com", "other", "x"));
    RunLoop::main().runPending();

    URLRequest request;
    request.url = server_.baseURL() + "/?surface=panel";
    view->load(request);
    EXPECT_TRUE(view->isLoading());
    ASSERT_TRUE(waitLoaded(*view));
    ASSERT_EQ(seen_.count(), 1u);
    EXPECT_EQ(seen_.requests[0].first, "/?surface=panel");
    EXPECT_EQ(seen_.requests[0].second, "tidemark_token=T0K") << "only the cookie for this host";
    EXPECT_EQ(view->page().statusCode, 200);
    EXPECT_EQ(view->page().body, "<html>page /</html>");
    EXPECT_EQ(view->url()->absoluteString(), request.url);

    view->loadHTMLString("<p>hi</p>", std::nullopt);
    EXPECT_EQ(view->page().kind, HeadlessWebView::Page::Kind::html);
    EXPECT_FALSE(view->url());
}

TEST_F(HeadlessWebViewTest, ALaterDocumentWinsOverASlowerEarlierLoad) {
    auto view = makeWebView();
    URLRequest request;
    request.url = server_.baseURL() + "/slow";
    view->load(request);
    view->loadHTMLString("<p>error</p>", std::nullopt);
    ASSERT_TRUE(testsupport::eventually([&] { return seen_.count() == 1; }, 5000ms));
    std::this_thread::sleep_for(400ms);
    RunLoop::main().runPending();
    EXPECT_EQ(view->page().kind, HeadlessWebView::Page::Kind::html);
    EXPECT_EQ(view->page().html, "<p>error</p>");
}

TEST_F(HeadlessWebViewTest, TheNavigationDelegateDecidesEveryNavigationWithItsType) {
    struct Delegate : NavigationDelegate {
        std::vector<std::pair<NavigationType, std::string>> asked;
        NavigationActionPolicy answer = NavigationActionPolicy::allow;
        void webView(WebView&, const NavigationAction& action, DecisionHandler handler) override {
            asked.emplace_back(action.navigationType, action.request.url);
            handler(answer);
            handler(NavigationActionPolicy::allow);  // a second answer is ignored
        }
    };
    auto delegate = std::make_shared<Delegate>();
    auto view = makeWebView();
    view->setNavigationDelegate(delegate);
    delegate->answer = NavigationActionPolicy::cancel;
    view->followLinkForTesting(server_.baseURL() + "/link");
    URLRequest request;
    request.url = server_.baseURL() + "/route";
    view->load(request);
    view->navigateByScriptForTesting(server_.baseURL() + "/script");
    ASSERT_EQ(delegate->asked.size(), 3u);
    EXPECT_EQ(delegate->asked[0].first, NavigationType::linkActivated);
    EXPECT_EQ(delegate->asked[1].first, NavigationType::other);
    EXPECT_EQ(delegate->asked[2].first, NavigationType::other);
    EXPECT_EQ(view->page().kind, HeadlessWebView::Page::Kind::none) << "cancelled: nothing loaded";

    delegate->answer = NavigationActionPolicy::allow;
    view->followLinkForTesting(server_.baseURL() + "/link");
    ASSERT_TRUE(waitLoaded(*view));
    EXPECT_EQ(seen_.count(), 1u);
    EXPECT_EQ(view->page().body, "<html>page /link</html>");
}

TEST_F(HeadlessWebViewTest, ScriptsFailWithoutAnEngineAndAScriptedPageAnswersInstead) {
    auto view = makeWebView();
    std::optional<Error> error;
    bool called = false;
    view->evaluateJavaScript("1 + 1", [&](std::optional<nlohmann::json> value, std::optional<Error> e) {
        called = true;
        EXPECT_FALSE(value);
        error = e;
    });
    EXPECT_FALSE(called) << "completions come later";
    RunLoop::main().runPending();
    ASSERT_TRUE(called);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "WKErrorDomain");

    auto page = std::make_shared<uitest::BridgePage>();
    view->setScriptedPageForTesting(page);
    std::optional<nlohmann::json> result;
    view->evaluateJavaScript("window.__tidemarkPanelOpen = true;");
    view->evaluateJavaScript("window.__tidemarkPanelOpen = false;",
                             [&](std::optional<nlohmann::json> value, std::optional<Error>) { result = value; });
    EXPECT_EQ(page->scripts.size(), 2u) << "evaluated at once even without a completion";
    RunLoop::main().runPending();
    EXPECT_EQ(result, nlohmann::json(false));
    EXPECT_EQ(page->panelOpenFlag, false);
}

TEST_F(HeadlessWebViewTest, ScriptMessagesReachTheHandlerOfTheirNameWithTheirFrame) {
    struct Handler : ScriptMessageHandler {
        std::vector<ScriptMessage> messages;
        void userContentController(UserContentController&, const ScriptMessage& message) override {
            messages.push_back(message);
        }
    };
    auto handler = std::make_shared<Handler>();
    auto view = makeWebView();
    EXPECT_TRUE(view->configuration().userContentController->add(handler, "dockQuota"));
    EXPECT_FALSE(view->configuration().userContentController->add(std::make_shared<Handler>(), "dockQuota"));
    view->deliverScriptMessageForTesting("other", 1, true, "http://127.0.0.1/");
    view->deliverScriptMessageForTesting("dockQuota", {{"enabled", true}}, false, "http://127.0.0.1:9/x");
    ASSERT_EQ(handler->messages.size(), 1u);
    EXPECT_EQ(handler->messages[0].body, (nlohmann::json{{"enabled", true}}));
    EXPECT_FALSE(handler->messages[0].frameInfo.isMainFrame);
    EXPECT_EQ(handler->messages[0].frameInfo.request.url, "http://127.0.0.1:9/x");
}

TEST_F(HeadlessWebViewTest, TheFirstLoadCarryingTheTokenCookieTellsWhereToLogInFromABrowser) {
    testsupport::LogCapture log;
    auto view = makeWebView();
    URLRequest request;
    request.url = server_.baseURL() + "/?surface=panel";
    view->load(request);
    ASSERT_TRUE(waitLoaded(*view));
    EXPECT_EQ(log.countPrefix("[Tidemark] Open the panel in a browser: "), 0u) << "no token yet";

    view->configuration().websiteDataStore->httpCookieStore().setCookie(
        cookie(server_.baseURL(), "tidemark_token", "AB12"));
    view->load(request);
    ASSERT_TRUE(waitLoaded(*view));
    view->load(request);
    ASSERT_TRUE(waitLoaded(*view));
    EXPECT_EQ(log.count("[Tidemark] Open the panel in a browser: " + server_.baseURL() + "/login?token=AB12"), 1u);
    EXPECT_EQ(log.countPrefix("[Tidemark] Open the panel in a browser: "), 1u);
}

TEST(HeadlessWorkspace, OpenStartsXdgOpenFromThePathWithTheURL) {
    testsupport::TemporaryDirectory directory;
    const std::string output = directory.path() + "/opened";
    const std::string script = directory.path() + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << output << ".tmp && mv " << output << ".tmp "
                          << output << "\n";
    ::chmod(script.c_str(), 0755);
    {
        testsupport::ScopedEnvironment path("PATH", (directory.path() + ":/usr/bin:/bin").c_str());
        EXPECT_TRUE(Workspace::shared().open(*URL::parse("https://example.com/a?b=c&d")));
    }
    ASSERT_TRUE(testsupport::eventually([&] { return FileManager::defaultManager().fileExists(output); }, 5000ms));
    EXPECT_EQ(FileManager::readFile(output), "https://example.com/a?b=c&d\n") << "one argument, no shell";

    testsupport::ScopedEnvironment empty("PATH", (directory.path() + "/nothing").c_str());
    EXPECT_FALSE(Workspace::shared().open(*URL::parse("https://example.com/")));
}
