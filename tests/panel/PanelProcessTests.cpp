// Tidemark as a whole process on the headless backend, with the panel opened at start.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Environment.h"
#include "platform/LoopbackPort.h"
#include "platform/Process.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;

namespace {

testsupport::TidemarkRun runWithPanel(const std::string& serverProgram, std::map<std::string, std::string> environment) {
    environment.insert_or_assign("TIDEMARK_TEST_SHOW_PANEL", "1");
    environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "60";
    return testsupport::TidemarkRun({.environment = environment, .fixedToken = false, .copiedInstallWithServer = serverProgram});
}

}  // namespace

TEST(PanelProcess, AtStartThePanelRouteIsRequestedWithTheTokenCookie) {
    testsupport::LocalHttpServer server;
    std::mutex mutex;
    std::vector<std::string> panelCookies;
    server.server().Get("/api/health", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
    server.server().Get("/", [&](const httplib::Request& request, httplib::Response& response) {
        if (request.get_param_value("surface") == "panel") {
            std::lock_guard lock(mutex);
            panelCookies.push_back(request.get_header_value("Cookie"));
        }
        response.set_content("<html></html>", "text/html");
    });
    server.server().Post(".*", [](const httplib::Request&, httplib::Response& r) { r.set_content("{}", "application/json"); });
    server.start();

    const std::string token = "0123456789ABCDEF0123456789ABCDEF";
    // No server program beside the executable: the development fall-back attaches to
    // the server at the test port.
    auto run = runWithPanel("", {{"TIDEMARK_TEST_PORT", std::to_string(server.port())}, {"TIDEMARK_TEST_TOKEN", token}});
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            std::lock_guard lock(mutex);
            return !panelCookies.empty();
        },
        20s))
        << run.output();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(panelCookies[0], "tidemark_token=" + token);
    }
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Toggle popover requested visible=false", 5s)) << run.output();
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Open the panel in a browser: " + server.baseURL() + "/login?token=" + token, 5s))
        << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
    std::lock_guard lock(mutex);
    EXPECT_EQ(panelCookies.size(), 1u) << "the route loads once";
}

TEST(PanelProcess, ThePrintedLoginURLOpensThePanelInABrowserWithTheBundledServer) {
    const std::string serverProgram = testsupport::binDirectory() + "/TidemarkServer";
    if (!std::filesystem::exists(serverProgram)) GTEST_SKIP() << "TidemarkServer is not built";
    const int port = testsupport::freeLoopbackPort();
    auto run = runWithPanel(serverProgram, {{"TIDEMARK_TEST_PORT", std::to_string(port)}});
    const std::string prefix = "[Tidemark] Open the panel in a browser: http://127.0.0.1:" + std::to_string(port) + "/login?token=";
    ASSERT_TRUE(run.waitForOutput(prefix, 30s)) << run.output();
    const std::string out = run.output();
    const auto start = out.find(prefix) + prefix.size();
    const std::string token = out.substr(start, out.find('\n', start) - start);
    EXPECT_EQ(token.size(), 32u);

    httplib::Client browser("127.0.0.1", port);
    auto login = browser.Get("/login?token=" + token);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    const std::string cookie = login->get_header_value("Set-Cookie");
    // The browser gets a session of its own, never the token, and it opens the panel.
    EXPECT_EQ(cookie.rfind("tidemark_session=", 0), 0u) << cookie;
    EXPECT_EQ(cookie.find(token), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
    auto panel = browser.Get(login->get_header_value("Location"), {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->status, 200);
    auto wrong = browser.Get("/login?token=" + std::string(32, '0'));
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401);
    EXPECT_TRUE(run.stop()) << run.output();
}

TEST(PanelProcess, AFailedStartOpensNoPanel) {
    testsupport::TemporaryDirectory scripts;
    const std::string failing = scripts.path() + "/failing-server";
    std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
    ::chmod(failing.c_str(), 0755);
    const int port = testsupport::freeLoopbackPort();
    auto run = runWithPanel(failing, {{"TIDEMARK_TEST_PORT", std::to_string(port)}});
    // The supervisor logs the server's exit; the panel stays closed afterwards.
    ASSERT_TRUE(run.waitForOutput("[Tidemark] Server exited with status 3", 10s)) << run.output();
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(run.process().isRunning()) << run.output();
    EXPECT_EQ(run.output().find("Toggle popover requested"), std::string::npos) << run.output();
    EXPECT_EQ(run.output().find("Open the panel in a browser"), std::string::npos) << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
}
