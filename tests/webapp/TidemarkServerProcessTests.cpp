// The real TidemarkServer process over real sockets: authentication, the Host check,
// validation, limits, and how it starts and stops.
#include "ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>

using nlohmann::json;
using webapptest::ServerProcess;

namespace {

std::string bearer() { return std::string("Bearer ") + ServerProcess::token; }
std::string cookie() { return std::string("tidemark_token=") + ServerProcess::token; }

json sampleJSON(int64_t ts, double cpu = 12.5) {
    return json{{"ts", ts},          {"intervalMs", 1000}, {"cpuUsage", cpu},      {"memoryUsed", 8000000000ULL},
                {"memoryTotal", 16000000000ULL}, {"memoryPercent", 50.0}, {"rxBps", 1000.0}, {"txBps", 10.0},
                {"diskUsed", 100},   {"diskTotal", 200},   {"diskPercent", 50.0}};
}

using webapptest::nowMs;

class ServerProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<ServerProcess>(dir.path());
        ASSERT_TRUE(server->waitUntilListening()) << server->output();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
    }
    void TearDown() override {
        EXPECT_EQ(server->terminate(), 0) << server->output();
        EXPECT_EQ(server->output().find(ServerProcess::token), std::string::npos) << "the token is never logged";
    }
    httplib::Result postMetrics(const std::string& body, const std::string& auth) {
        httplib::Headers headers;
        if (!auth.empty()) headers.emplace("Authorization", auth);
        return client->Post("/api/metrics/ingest", headers, body, "application/json");
    }
    json state() {
        auto r = client->Get("/api/state", {{"Cookie", cookie()}});
        EXPECT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        return json::parse(r->body);
    }
    testsupport::TemporaryDirectory dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(ServerProcessTest, AuthenticatesIngestWithTheBearerTokenAndThePageWithTheCookie) {
    auto health = client->Get("/api/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);

    const std::string body = json{{"samples", json::array({sampleJSON(nowMs())})}}.dump();
    EXPECT_EQ(postMetrics(body, "")->status, 401);
    EXPECT_EQ(postMetrics(body, "Bearer 0123456789ABCDEF0123456789ABCDE")->status, 401);  // one short
    EXPECT_EQ(postMetrics(body, "Bearer 0123456789ABCDEF0123456789ABCDEF0")->status, 401);  // one long
    EXPECT_EQ(postMetrics(body, std::string("Basic ") + ServerProcess::token)->status, 401);
    EXPECT_EQ(postMetrics(body, ServerProcess::token)->status, 401);
    EXPECT_EQ(postMetrics(body, bearer())->status, 200);
    EXPECT_EQ(postMetrics(body, std::string("bearer ") + ServerProcess::token)->status, 200);
    // The cookie does not authorise ingest.
    EXPECT_EQ(client->Post("/api/metrics/ingest", {{"Cookie", cookie()}}, body, "application/json")->status, 401);

    EXPECT_EQ(client->Get("/?surface=panel")->status, 401);
    EXPECT_EQ(client->Get("/?surface=panel", {{"Cookie", "tidemark_token=wrong"}})->status, 401);
    EXPECT_EQ(client->Get("/api/state")->status, 401);
    EXPECT_EQ(client->Get("/api/history?range=5m")->status, 401);
    EXPECT_EQ(client->Get("/assets/app.js")->status, 401);
    // The bearer token does not open the page.
    EXPECT_EQ(client->Get("/?surface=panel", {{"Authorization", bearer()}})->status, 401);
    auto page = client->Get("/?surface=panel", {{"Cookie", "theme=dark; " + cookie() + "; other=1"}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("Live system view"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    for (const char* asset : {"/assets/app.js", "/assets/app.css", "/assets/uPlot.iife.min.js"}) {
        auto r = client->Get(asset, {{"Cookie", cookie()}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << asset;
        EXPECT_GT(r->body.size(), 100u) << asset;
    }

    auto badLogin = client->Get("/login?token=nope");
    EXPECT_EQ(badLogin->status, 401);
    EXPECT_FALSE(badLogin->has_header("Set-Cookie"));
    EXPECT_EQ(client->Get("/login")->status, 401);
    auto login = client->Get(std::string("/login?token=") + ServerProcess::token);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    EXPECT_EQ(login->get_header_value("Location"), "/?surface=panel");
    EXPECT_EQ(login->get_header_value("Set-Cookie").rfind("tidemark_session=", 0), 0u);
    EXPECT_NE(login->get_header_value("Set-Cookie").find("; HttpOnly; SameSite=Strict; Path=/"), std::string::npos);

    // No CORS, also not for a preflight from another origin.
    auto preflight = client->Options("/api/metrics/ingest", {{"Origin", "http://evil.example"},
                                                             {"Access-Control-Request-Method", "POST"}});
    ASSERT_TRUE(preflight);
    for (auto* r : {&*health, &*page, &*login, &*preflight}) {
        for (const auto& [name, value] : r->headers) {
            EXPECT_EQ(name.rfind("Access-Control-", 0), std::string::npos) << name;
        }
    }
}

TEST_F(ServerProcessTest, RefusesRequestsForOtherHosts) {
    const std::string port = std::to_string(server->port());
    EXPECT_EQ(client->Get("/api/health", {{"Host", "localhost:" + port}})->status, 200);
    EXPECT_EQ(client->Get("/api/health", {{"Host", "LOCALHOST:" + port}})->status, 200);
    const std::vector<std::string> hosts = {"evil.example:" + port, "127.0.0.1:1", "127.0.0.1", "localhost",
                                            "127.0.0.1:" + port + ".evil.example", "rebind.evil.example"};
    for (const std::string& host : hosts) {
        auto r = client->Get("/api/health", {{"Host", host}});
        ASSERT_TRUE(r) << host;
        EXPECT_EQ(r->status, 403) << host;
    }
    // Even with valid credentials.
    const std::string body = json{{"samples", json::array({sampleJSON(nowMs())})}}.dump();
    auto r = client->Post("/api/metrics/ingest", {{"Host", "evil.example:" + port}, {"Authorization", bearer()}},
                          body, "application/json");
    EXPECT_EQ(r->status, 403);
    EXPECT_TRUE(state()["sample"].is_null());
}

TEST_F(ServerProcessTest, MalformedOrMistypedBodiesAreRefusedAndNothingIsKept) {
    const int64_t ts = nowMs();
    auto withSample = [&](const std::function<void(json&)>& change) {
        json s = sampleJSON(ts);
        change(s);
        return json{{"samples", json::array({s})}}.dump();
    };
    const std::vector<std::string> bad = {
        "", "{", "not json", "[]", "{\"samples\":{}}", "{\"samples\":[1]}", "{\"samples\":[{}]}",
        withSample([](json& s) { s.erase("diskPercent"); }),
        withSample([](json& s) { s["ts"] = "1"; }),
        withSample([](json& s) { s["ts"] = 1.5; }),
        withSample([](json& s) { s["memoryUsed"] = -1; }),
        withSample([](json& s) { s["cpuUsage"] = "12"; }),
        withSample([](json& s) { s["cpuUsage"] = 101; }),
        withSample([](json& s) { s["rxBps"] = -3; }),
        withSample([](json& s) { s["memoryTotal"] = nullptr; }),
        "{\"samples\":[" + sampleJSON(ts).dump() + ",{\"ts\":1}]}",  // one bad sample spoils the body
        "{\"samples\":[\"\xff\xfe\"]}",
        std::string(500000, '[') ,
    };
    for (const auto& body : bad) {
        auto r = postMetrics(body, bearer());
        ASSERT_TRUE(r) << body.substr(0, 80);
        EXPECT_EQ(r->status, 400) << body.substr(0, 80);
        auto error = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(error.is_object() && error["error"].is_string()) << r->body;
    }
    EXPECT_TRUE(state()["sample"].is_null());
    auto history = client->Get("/api/history?range=5m", {{"Cookie", cookie()}});
    EXPECT_TRUE(json::parse(history->body)["t"].empty());

    const std::vector<std::string> badProcesses = {
        "{\"processes\":[]}", "{\"sampledAt\":1}", "{\"sampledAt\":1,\"processes\":[{\"pid\":1}]}",
        "{\"sampledAt\":1,\"processes\":[{\"pid\":4294967296,\"name\":\"x\",\"cpuPercent\":0,\"memoryBytes\":0,"
        "\"memoryPercent\":0,\"diskReadBps\":0,\"diskWriteBps\":0,\"downloadBps\":0,\"uploadBps\":0}]}",
        "{\"sampledAt\":1,\"processes\":[{\"pid\":1,\"name\":7,\"cpuPercent\":0,\"memoryBytes\":0,"
        "\"memoryPercent\":0,\"diskReadBps\":0,\"diskWriteBps\":0,\"downloadBps\":0,\"uploadBps\":0}]}",
    };
    for (const auto& body : badProcesses) {
        auto r = client->Post("/api/processes/ingest", {{"Authorization", bearer()}}, body, "application/json");
        EXPECT_EQ(r->status, 400) << body;
    }
    const std::string good =
        "{\"sampledAt\":5,\"processes\":[{\"pid\":-1,\"name\":\"kworker/0:1\",\"cpuPercent\":250.5,"
        "\"memoryBytes\":0,\"memoryPercent\":0,\"diskReadBps\":0,\"diskWriteBps\":0,\"downloadBps\":0,"
        "\"uploadBps\":0}]}";
    EXPECT_EQ(client->Post("/api/processes/ingest", {{"Authorization", bearer()}}, good, "application/json")->status,
              200);
    EXPECT_EQ(client->Post("/api/processes/ingest", {{"Authorization", bearer()}}, "{\"sampledAt\":0,\"processes\":[]}",
                           "application/json")->status,
              200);

    // Over 1 MiB: 413, and the server carries on.
    const std::string huge = "{\"samples\":[" + std::string(1024 * 1024, ' ') + "]}";
    auto tooLarge = postMetrics(huge, bearer());
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->status, 413);
    const std::string body = json{{"samples", json::array({sampleJSON(ts, 33.0)})}}.dump();
    EXPECT_EQ(postMetrics(body, bearer())->status, 200);
    json s = state();
    EXPECT_EQ(s["sample"]["cpuUsage"], 33.0);
    EXPECT_EQ(s["sample"]["memoryTotal"], 16000000000ULL);
    EXPECT_TRUE(s["processes"].is_null()) << "processes are shown only with TIDEMARK_PROCESS_METRICS=1";
}

TEST(ServerProcessLifecycle, StopsOnSignalsAndReportsBindFailures) {
    testsupport::TemporaryDirectory dir;
    for (int signal : {SIGTERM, SIGINT}) {
        ServerProcess server(dir.path(), {{"TIDEMARK_PROCESS_METRICS", "1"}});
        ASSERT_TRUE(server.waitUntilListening()) << server.output();
        // An idle keep-alive connection must not hold the stop up.
        httplib::Client client("127.0.0.1", server.port());
        client.set_keep_alive(true);
        ASSERT_EQ(client.Get("/api/health")->status, 200);
        const auto start = std::chrono::steady_clock::now();
        kill(server.pid(), signal);
        EXPECT_EQ(server.waitForExit(3000), 0) << server.output();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    }

    ServerProcess holder(dir.path());
    ASSERT_TRUE(holder.waitUntilListening());
    ServerProcess second(dir.path(), {}, holder.port());
    const int code = second.waitForExit(5000);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1000);
    EXPECT_NE(second.output().find("cannot start"), std::string::npos) << second.output();
    EXPECT_EQ(holder.terminate(), 0);

    ServerProcess badPort(dir.path(), {{"PORT", "70000"}, {"TIDEMARK_PORT", "70000"}});
    EXPECT_NE(badPort.waitForExit(5000), 0);
    EXPECT_NE(badPort.output().find("invalid port"), std::string::npos) << badPort.output();
}

TEST(ServerProcessLifecycle, UsesTidemarkPortWhenPortIsAbsentAndDegradesWithAnUnusableDataDirectory) {
    testsupport::TemporaryDirectory dir;
    const std::string notADirectory = dir.path() + "/file";
    std::ofstream(notADirectory) << "x";
    const int port = webapptest::freePort();
    ServerProcess server(notADirectory, {{"PORT", ""}, {"TIDEMARK_PORT", std::to_string(port)}}, port);
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    httplib::Client client("127.0.0.1", port);
    // A second old: the window read below ends before the millisecond it is read in, and
    // on loopback the ingests and the read can all fall in the sample's own millisecond.
    const std::string body = json{{"samples", json::array({sampleJSON(nowMs() - 1000)})}}.dump();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.Post("/api/metrics/ingest", {{"Authorization", bearer()}}, body, "application/json")->status,
                  200);
    }
    auto history = client.Get("/api/history?range=5m", {{"Cookie", cookie()}});
    EXPECT_EQ(json::parse(history->body)["t"].size(), 1u);
    EXPECT_EQ(json::parse(client.Get("/api/state", {{"Cookie", cookie()}})->body)["persistentHistory"], false);
    EXPECT_EQ(server.terminate(), 0);
    const std::string output = server.output();
    size_t lines = 0;
    for (size_t at = output.find("history is kept in memory"); at != std::string::npos;
         at = output.find("history is kept in memory", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << output;
}

}  // namespace
