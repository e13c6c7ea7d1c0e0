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
#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

int freePort() {
    static int next = 30000 + (getpid() % 1000) * 7;
    while (!platform::canBindLoopbackPort(next)) ++next;
    return next++;
}

// One Tidemark run from a copy of the executable (and, if asked, a server program)
// in a fresh installation directory with its own home.
class TidemarkProcess {
public:
    TidemarkProcess(const std::string& serverProgram, std::map<std::string, std::string> extra) {
        const std::string install = home_.path() + "/install";
        std::filesystem::create_directories(install);
        std::filesystem::copy_file(testsupport::binDirectory() + "/Tidemark", install + "/Tidemark");
        if (!serverProgram.empty()) std::filesystem::copy_file(serverProgram, install + "/TidemarkServer");
        auto environment = platform::processEnvironment();
        environment["HOME"] = home_.path();
        environment["XDG_DATA_HOME"] = home_.path() + "/data";
        environment["XDG_CONFIG_HOME"] = home_.path() + "/config";
        environment["XDG_CACHE_HOME"] = home_.path() + "/cache";
        environment["TIDEMARK_UI"] = "headless";
        environment["TIDEMARK_TESTING"] = "1";
        environment["TIDEMARK_TEST_SHOW_PANEL"] = "1";
        environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "60";
        environment.erase("DISPLAY");
        environment.erase("WAYLAND_DISPLAY");
        environment.erase("TIDEMARK_KEEP_POPOVER_OPEN");
        for (auto& [k, v] : extra) environment[k] = v;

        process_ = platform::Process::make();
        process_->executablePath = install + "/Tidemark";
        process_->environment = environment;
        pipe_ = std::make_shared<platform::Pipe>();
        process_->standardOutput = pipe_;
        process_->standardError = pipe_;
        auto output = output_;
        pipe_->fileHandleForReading()->setReadabilityHandler([output](platform::FileHandle& handle) {
            const std::string data = handle.availableData();
            if (data.empty()) {
                handle.setReadabilityHandler({});
                return;
            }
            std::lock_guard lock(output->mutex);
            output->text += data;
        });
        if (auto error = process_->run()) throw std::runtime_error(error->description);
    }
    ~TidemarkProcess() {
        if (process_->isRunning()) {
            ::kill(process_->processIdentifier(), SIGKILL);
            process_->waitUntilExit();
        }
        pipe_->fileHandleForReading()->setReadabilityHandler({});
    }
    std::string output() const {
        std::lock_guard lock(output_->mutex);
        return output_->text;
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) const {
        return testsupport::eventually([&] { return output().find(text) != std::string::npos; }, timeout);
    }
    // SIGTERM ends Tidemark through its normal termination path.
    bool stop() {
        ::kill(process_->processIdentifier(), SIGTERM);
        return process_->waitUntilExit(10s) && process_->terminationReason() == platform::Process::TerminationReason::exit &&
               process_->terminationStatus() == 0;
    }
    platform::Process& process() { return *process_; }

private:
    testsupport::TemporaryDirectory home_;
    std::shared_ptr<platform::Process> process_;
    std::shared_ptr<platform::Pipe> pipe_;
    struct Output {
        std::mutex mutex;
        std::string text;
    };
    std::shared_ptr<Output> output_ = std::make_shared<Output>();
};

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
    TidemarkProcess run("", {{"TIDEMARK_TEST_PORT", std::to_string(server.port())}, {"TIDEMARK_TEST_TOKEN", token}});
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
    EXPECT_TRUE(run.waitFor("[Tidemark] Toggle popover requested visible=false", 5s)) << run.output();
    EXPECT_TRUE(run.waitFor("[Tidemark] Open the panel in a browser: " + server.baseURL() + "/login?token=" + token, 5s))
        << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
    std::lock_guard lock(mutex);
    EXPECT_EQ(panelCookies.size(), 1u) << "the route loads once";
}

TEST(PanelProcess, ThePrintedLoginURLOpensThePanelInABrowserWithTheBundledServer) {
    const std::string serverProgram = testsupport::binDirectory() + "/TidemarkServer";
    if (!std::filesystem::exists(serverProgram)) GTEST_SKIP() << "TidemarkServer is not built";
    const int port = freePort();
    TidemarkProcess run(serverProgram, {{"TIDEMARK_TEST_PORT", std::to_string(port)}});
    const std::string prefix = "[Tidemark] Open the panel in a browser: http://127.0.0.1:" + std::to_string(port) + "/login?token=";
    ASSERT_TRUE(run.waitFor(prefix, 30s)) << run.output();
    const std::string out = run.output();
    const auto start = out.find(prefix) + prefix.size();
    const std::string token = out.substr(start, out.find('\n', start) - start);
    EXPECT_EQ(token.size(), 32u);

    httplib::Client browser("127.0.0.1", port);
    auto login = browser.Get("/login?token=" + token);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    const std::string cookie = login->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("tidemark_token=" + token), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
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
    const int port = freePort();
    TidemarkProcess run(failing, {{"TIDEMARK_TEST_PORT", std::to_string(port)}});
    // The supervisor logs the server's exit; the panel stays closed afterwards.
    ASSERT_TRUE(run.waitFor("[Tidemark] Server exited with status 3", 10s)) << run.output();
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(run.process().isRunning()) << run.output();
    EXPECT_EQ(run.output().find("Toggle popover requested"), std::string::npos) << run.output();
    EXPECT_EQ(run.output().find("Open the panel in a browser"), std::string::npos) << run.output();
    EXPECT_TRUE(run.stop()) << run.output();
}
