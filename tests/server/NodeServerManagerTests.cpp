#include "server/NodeServerManager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <regex>

#include "platform/Environment.h"
#include "platform/Signals.h"
#include "server/ServerError.h"
#include "support/TestSupport.h"
#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using testsupport::LogCapture;
using testsupport::ScopedEnvironment;
using testsupport::TemporaryDirectory;

namespace {

const char* const preferredTail = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

std::string preferredPath() {
    const std::string home = platform::homeDirectory();
    return home + "/.amp/bin:" + home + "/.local/bin:" + home + "/.opencode/bin:" + home +
           "/.antigravity/antigravity/bin:" + home + "/bin:" + preferredTail;
}

// A folder that looks like an installation: the fake server as "TidemarkServer".
struct Installation {
    TemporaryDirectory executableDirectory;
    TemporaryDirectory dataHome;
    ScopedEnvironment xdgData{"XDG_DATA_HOME", nullptr};

    Installation() : xdgData("XDG_DATA_HOME", dataHome.path().c_str()) {
        std::filesystem::copy_file(testsupport::testBinDirectory() + "/tidemark-fake-server",
                                   executableDirectory.path() + "/TidemarkServer");
    }
};

NodeServerManager::Timing quickTiming(std::chrono::milliseconds deadline) {
    NodeServerManager::Timing timing;
    timing.readinessDeadline = deadline;
    return timing;
}

struct StartWaiter {
    std::promise<NodeServerManager::Result> promise;
    std::future<NodeServerManager::Result> future = promise.get_future();
    std::atomic<int> calls{0};
    NodeServerManager::Completion completion() {
        return [this](NodeServerManager::Result result) {
            if (calls++ == 0) promise.set_value(std::move(result));
        };
    }
    NodeServerManager::Result wait(std::chrono::seconds timeout = 40s) {
        EXPECT_EQ(future.wait_for(timeout), std::future_status::ready);
        return future.get();
    }
};

std::map<std::string, std::string> readDump(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, std::string> values;
    size_t begin = 0;
    while (begin < all.size()) {
        const size_t end = all.find('\0', begin);
        const std::string entry = all.substr(begin, end - begin);
        const size_t equals = entry.find('=');
        values[entry.substr(0, equals)] = entry.substr(equals + 1);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return values;
}

}  // namespace

TEST(NodeServerManager, FreePortProbeSkipsAHeldPort) {
    // Hold a port with a listening socket and expect the probe to move past it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    int held = 0;
    for (int port = 47000; port < 47100 && !held; port += 2) {
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0) held = port;
    }
    ASSERT_NE(held, 0);
    const int64_t chosen = NodeServerManager::firstAvailablePort(held);
    EXPECT_GT(chosen, held);
    EXPECT_LE(chosen, held + 20);
    ::close(fd);
    EXPECT_EQ(NodeServerManager::firstAvailablePort(held), held);
    EXPECT_EQ(NodeServerManager::firstAvailablePort(70000), 70000) << "nothing to probe past 65535";
}

TEST(NodeServerManager, EnrichedPathPutsPreferredDirectoriesFirst) {
    EXPECT_EQ(NodeServerManager::enrichedPath("/usr/bin:/custom/bin::/opt/homebrew/bin"), preferredPath() + ":/custom/bin");
    EXPECT_EQ(NodeServerManager::enrichedPath(std::nullopt), preferredPath());
    EXPECT_EQ(NodeServerManager::enrichedPath(""), preferredPath());
    EXPECT_EQ(NodeServerManager::enrichedPath(":/a:/b:/a:/USR/BIN:"), preferredPath() + ":/a:/b:/USR/BIN");
}

TEST(NodeServerManager, DataDirectorySuffixKeepsLettersNumbersAndHyphens) {
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "run_1.a/b");
        EXPECT_EQ(NodeServerManager::dataDirectoryName(), "Tidemark-run1ab");
    }
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "___");
        EXPECT_EQ(NodeServerManager::dataDirectoryName(), "Tidemark");
    }
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "é-ß 2 ../x\xff");
        EXPECT_EQ(NodeServerManager::dataDirectoryName(), "Tidemark");  // invalid UTF-8 keeps nothing
    }
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "é-ß 2 ../x");
        EXPECT_EQ(NodeServerManager::dataDirectoryName(), "Tidemark-é-ß2x");
    }
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "true");
        ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "abc");
        EXPECT_EQ(NodeServerManager::dataDirectoryName(), "Tidemark");
    }
}

TEST(NodeServerManager, TokenIsFreshHexUnlessTestTokenIsGiven) {
    ScopedEnvironment noTesting("TIDEMARK_TESTING", nullptr);
    ScopedEnvironment testToken("TIDEMARK_TEST_TOKEN", "ignored");
    const NodeServerManager first, second;
    EXPECT_TRUE(std::regex_match(first.token(), std::regex("[0-9A-F]{32}"))) << first.token();
    EXPECT_NE(first.token(), second.token());
    {
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        EXPECT_EQ(NodeServerManager().token(), "ignored");
        ScopedEnvironment empty("TIDEMARK_TEST_TOKEN", "");
        EXPECT_EQ(NodeServerManager().token(), "");
    }
    const NodeServerManager manager;
    EXPECT_EQ(manager.baseURL().absoluteString(), "http://127.0.0.1:5230");
}

TEST(NodeServerManager, PortOverrideParsing) {
    EXPECT_EQ(NodeServerManager::parsePortOverride("12345"), 12345);
    EXPECT_EQ(NodeServerManager::parsePortOverride("+12345"), 12345);
    EXPECT_EQ(NodeServerManager::parsePortOverride("65535"), 65535);
    // No TCP port lies above 65535: such values are ignored like malformed ones.
    for (const char* bad : {"", "0", "-5", "12a", " 12", "12 ", "+", "-", "99999999999999999999", "1.5", "65536",
                            "99999", "100000"})
        EXPECT_EQ(NodeServerManager::parsePortOverride(bad), std::nullopt) << bad;
}

TEST(NodeServerManager, ChildGetsExactlyTheDocumentedEnvironment) {
    Installation install;
    TemporaryDirectory scratch;
    const std::string dump = scratch.path() + "/env";
    ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "dump-env");
    ScopedEnvironment out("TIDEMARK_FAKE_OUT", dump.c_str());
    ScopedEnvironment nodeOptions("NODE_OPTIONS", "--inspect");
    ScopedEnvironment path("PATH", "/usr/bin:/custom/bin::/opt/homebrew/bin");
    ScopedEnvironment testing("TIDEMARK_TESTING", "1");
    ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(NodeServerManager::firstAvailablePort(41000)).c_str());
    ScopedEnvironment suffix("TIDEMARK_TEST_DATA_SUFFIX", "env_check");
    auto expected = platform::processEnvironment();

    auto manager = std::make_shared<NodeServerManager>(quickTiming(10s), install.executableDirectory.path());
    StartWaiter waiter;
    manager->start(waiter.completion());
    EXPECT_EQ(waiter.wait(), std::nullopt);

    const std::string dataDirectory = install.dataHome.path() + "/Tidemark-envcheck";
    const std::string port = std::to_string(manager->port());
    expected["TIDEMARK_SERVER_TOKEN"] = manager->token();
    expected["TIDEMARK_PORT"] = port;
    expected["PORT"] = port;
    expected["TIDEMARK_DATA_DIR"] = dataDirectory;
    expected["TIDEMARK_PROCESS_METRICS"] = "1";
    expected["NODE_ENV"] = "production";
    expected["NODE_OPTIONS"] = "";
    expected["PATH"] = preferredPath() + ":/custom/bin";
    auto received = readDump(dump);
    EXPECT_EQ(received["CWD"], dataDirectory);
    received.erase("CWD");
    EXPECT_EQ(received, expected);
    EXPECT_EQ(manager->baseURL().absoluteString(), "http://127.0.0.1:" + port);
    EXPECT_TRUE(std::filesystem::is_directory(dataDirectory));
    manager->stop();
}

TEST(NodeServerManager, ReadinessSucceedsOnTheThirdAttempt) {
    TemporaryDirectory emptyInstall;
    testsupport::LocalHttpServer server;
    std::atomic<int> requests{0};
    server.server().Get("/api/health", [&](const httplib::Request&, httplib::Response& res) {
        res.status = ++requests >= 3 ? 200 : 503;
    });
    server.start();
    ScopedEnvironment testing("TIDEMARK_TESTING", "1");
    ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(server.port()).c_str());
    LogCapture logs;

    auto manager = std::make_shared<NodeServerManager>(NodeServerManager::Timing{}, emptyInstall.path());
    const auto begin = std::chrono::steady_clock::now();
    StartWaiter waiter;
    manager->start(waiter.completion());
    EXPECT_EQ(waiter.wait(), std::nullopt);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, 650ms);
    EXPECT_LT(elapsed, 3s);
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(requests.load(), 3) << "no probe after readiness";
    EXPECT_TRUE(logs.contains("[Tidemark] Attaching to external dev server at " + server.baseURL()));
    manager->stop();  // nothing to stop in the fall-back
}

TEST(NodeServerManager, NeverReadyServersTimeOut) {
    for (int status : {204, 503}) {
        TemporaryDirectory emptyInstall;
        testsupport::LocalHttpServer server;
        server.server().Get("/api/health", [&](const httplib::Request&, httplib::Response& res) { res.status = status; });
        server.start();
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(server.port()).c_str());
        auto manager = std::make_shared<NodeServerManager>(quickTiming(1500ms), emptyInstall.path());
        const auto begin = std::chrono::steady_clock::now();
        StartWaiter waiter;
        manager->start(waiter.completion());
        const auto result = waiter.wait();
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        ASSERT_TRUE(result.has_value()) << status;
        EXPECT_EQ(result->description, "Tidemark server did not become ready");
        ASSERT_TRUE(ServerError::from(*result));
        EXPECT_EQ(ServerError::from(*result)->kind(), ServerError::Case::healthCheckTimedOut);
        EXPECT_GE(elapsed, 1500ms);
        EXPECT_LT(elapsed, 4s);
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(waiter.calls.load(), 1);
    }
}

TEST(NodeServerManager, DevelopmentFallBackUsesTheFixedPort) {
    TemporaryDirectory emptyInstall;
    ScopedEnvironment testing("TIDEMARK_TESTING", nullptr);
    ScopedEnvironment testPort("TIDEMARK_TEST_PORT", "12345");  // ignored outside test mode
    LogCapture logs;
    auto manager = std::make_shared<NodeServerManager>(quickTiming(300ms), emptyInstall.path());
    StartWaiter waiter;
    manager->start(waiter.completion());
    waiter.wait();
    EXPECT_EQ(manager->port(), 5230);
    EXPECT_TRUE(logs.contains("[Tidemark] Attaching to external dev server at http://127.0.0.1:5230"));
    EXPECT_FALSE(std::filesystem::exists(emptyInstall.path() + "/Tidemark")) << "no data directory in the fall-back";
}

TEST(NodeServerManager, ServerOutputIsLoggedLineByLine) {
    Installation install;
    ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "output");
    LogCapture logs;
    auto manager = std::make_shared<NodeServerManager>(quickTiming(200ms), install.executableDirectory.path());
    StartWaiter waiter;
    manager->start(waiter.completion());
    ASSERT_TRUE(logs.waitFor("[Tidemark Server] after", 10s));
    std::vector<std::string> server;
    for (const auto& line : logs.lines())
        if (line.rfind("[Tidemark Server] ", 0) == 0) server.push_back(line.substr(18));
    const std::vector<std::string> expected = {"a", "b", "c", "par", "tial", "100%@ %d %s", "from stderr", "cr", "crlf",
                                               "vt", "ff", "nel", "ls", "ps", "end", "after"};
    EXPECT_EQ(server, expected);
    waiter.wait();
    manager->stop();
    EXPECT_EQ(logs.countPrefix("[Tidemark] Server exited"), 0u);
}

TEST(NodeServerManager, ExitOfTheChildIsLogged) {
    Installation install;
    ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "exit");
    ScopedEnvironment code("TIDEMARK_FAKE_EXIT", "3");
    // A port of its own: once the child has gone, a parallel test's server that took the
    // same first free port would answer the health check.
    ScopedEnvironment testing("TIDEMARK_TESTING", "1");
    ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(testsupport::freeLoopbackPort()).c_str());
    LogCapture logs;
    auto manager = std::make_shared<NodeServerManager>(quickTiming(300ms), install.executableDirectory.path());
    StartWaiter waiter;
    manager->start(waiter.completion());
    EXPECT_TRUE(logs.waitFor("[Tidemark] Server exited with status 3", 10s));
    ASSERT_TRUE(waiter.wait().has_value());
    manager->stop();
}

TEST(NodeServerManager, StopIsPoliteThenForceful) {
    {
        Installation install;
        ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "serve");
        // A port of its own: a parallel test probing from the same first port could
        // otherwise answer the health check while this server fails to bind and exits.
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(testsupport::freeLoopbackPort()).c_str());
        LogCapture logs;
        auto manager = std::make_shared<NodeServerManager>(quickTiming(10s), install.executableDirectory.path());
        StartWaiter waiter;
        manager->start(waiter.completion());
        ASSERT_EQ(waiter.wait(), std::nullopt);
        const auto begin = std::chrono::steady_clock::now();
        manager->stop();
        // Well short of the 2-s wait before SIGKILL; a ThreadSanitizer child takes about
        // a second to exit.
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(logs.countPrefix("[Tidemark] Server exited"), 0u) << "a stop logs no exit line";
        manager->stop();  // twice is harmless
    }
    {
        Installation install;
        ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "ignore-term");
        auto manager = std::make_shared<NodeServerManager>(quickTiming(300ms), install.executableDirectory.path());
        StartWaiter waiter;
        manager->start(waiter.completion());
        waiter.wait();
        const auto begin = std::chrono::steady_clock::now();
        manager->stop();
        const auto elapsed = std::chrono::steady_clock::now() - begin;
        EXPECT_GE(elapsed, 1900ms);
        EXPECT_LT(elapsed, 4s);
    }
}

TEST(NodeServerManager, SecondStartSucceedsAtOnceAndFailedLaunchCanRetry) {
    {
        TemporaryDirectory emptyInstall;
        ScopedEnvironment testing("TIDEMARK_TESTING", "1");
        ScopedEnvironment testPort("TIDEMARK_TEST_PORT", std::to_string(NodeServerManager::firstAvailablePort(42000)).c_str());
        auto manager = std::make_shared<NodeServerManager>(quickTiming(3s), emptyInstall.path());
        StartWaiter first, second;
        manager->start(first.completion());
        manager->start(second.completion());
        EXPECT_EQ(second.future.wait_for(1s), std::future_status::ready);
        EXPECT_EQ(second.future.get(), std::nullopt);
        EXPECT_EQ(first.future.wait_for(0s), std::future_status::timeout) << "first still waiting for readiness";
        first.wait();
    }
    {
        Installation install;
        TemporaryDirectory scratch;
        const std::string notADirectory = scratch.path() + "/file";
        std::ofstream(notADirectory) << "x";
        ScopedEnvironment xdg("XDG_DATA_HOME", notADirectory.c_str());
        auto manager = std::make_shared<NodeServerManager>(quickTiming(10s), install.executableDirectory.path());
        StartWaiter failed;
        manager->start(failed.completion());
        const auto error = failed.wait();
        ASSERT_TRUE(error.has_value());
        EXPECT_FALSE(ServerError::from(*error)) << "file errors pass through unwrapped";
        ScopedEnvironment fixed("XDG_DATA_HOME", install.dataHome.path().c_str());
        ScopedEnvironment mode("TIDEMARK_FAKE_MODE", "serve");
        StartWaiter retried;
        manager->start(retried.completion());
        EXPECT_EQ(retried.wait(), std::nullopt);
        manager->stop();
    }
}
