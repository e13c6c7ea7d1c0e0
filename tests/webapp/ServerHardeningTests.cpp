// The real TidemarkServer under load and attack from this machine, over raw loopback
// sockets: idle and trickling connections, header floods, hostile bodies, foreign origins,
// kills during ingest. Every flood is bounded in count and time.
#include "ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
using webapptest::ServerProcess;

namespace {

using Clock = std::chrono::steady_clock;

using webapptest::nowMs;
using webapptest::residentKiB;
using webapptest::smallSample;
json processJSON(int pid, const std::string& name) {
    return json{{"pid", pid},           {"name", name},         {"cpuPercent", 1.0},  {"memoryBytes", 1},
                {"memoryPercent", 0.1}, {"diskReadBps", 0.0},   {"diskWriteBps", 0.0}, {"downloadBps", 0.0},
                {"uploadBps", 0.0}};
}

std::string bearer() { return std::string("Bearer ") + ServerProcess::token; }

using Connection = webapptest::RawConnection;

std::string request(const std::string& method, const std::string& target, int port,
                    const std::vector<std::string>& headers = {}, const std::string& body = "") {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& h : headers) text += h + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT") {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return text + "\r\n" + body;
}

// Context switches of all threads of a process.
long contextSwitches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    closedir(dir);
    return total;
}

class ServerHardening : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<ServerProcess>(dir.path(), std::map<std::string, std::string>{{"TIDEMARK_PROCESS_METRICS", "1"}});
        ASSERT_TRUE(server->waitUntilListening()) << server->output();
        port = server->port();
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->terminate(), 0) << server->output();
        }
    }
    // One authenticated ingest on its own connection; its status and how long it took.
    std::pair<int, std::chrono::milliseconds> timedIngest(int64_t ts) {
        const auto start = Clock::now();
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(5);
        auto r = c.Post("/api/metrics/ingest", {{"Authorization", bearer()}},
                        json{{"samples", json::array({smallSample(ts)})}}.dump(), "application/json");
        return {r ? r->status : 0, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
    }
    testsupport::TemporaryDirectory dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<httplib::Client> client;
    int port = 0;
};

}  // namespace

TEST_F(ServerHardening, SleepsWhileConnectionsIdleAndServesSixBrowserConnectionsBesideTheSamplers) {
    // Idle keep-alive connections, as the samplers and a browser leave them, wake nothing.
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(std::make_unique<Connection>(port));
        ASSERT_TRUE(idle.back()->send(request("GET", "/api/health", port)));
        ASSERT_EQ(Connection::status(idle.back()->receive()), 200);
    }
    std::this_thread::sleep_for(200ms);
    const long before = contextSwitches(server->pid());
    std::this_thread::sleep_for(2000ms);
    const long wakeups = contextSwitches(server->pid()) - before;
    EXPECT_LE(wakeups, 2) << "the server woke without any request";
    idle.clear();

    // Six connections of a busy browser, as fast as they can, while a sampler posts.
    std::atomic<bool> done{false};
    std::atomic<int> pageRequests{0}, pageFailures{0};
    std::vector<std::thread> browser;
    const std::string cookie = std::string("tidemark_token=") + ServerProcess::token;
    for (int i = 0; i < 6; ++i) {
        browser.emplace_back([&, i] {
            httplib::Client c("127.0.0.1", port);
            c.set_keep_alive(true);
            const char* paths[] = {"/api/history?range=30d", "/api/state", "/assets/uPlot.iife.min.js",
                                   "/api/history?range=24h", "/api/quotas", "/?surface=panel"};
            while (!done) {
                auto r = c.Get(paths[i], {{"Cookie", cookie}, {"Sec-Fetch-Site", "same-origin"}});
                ++pageRequests;
                if (!r || r->status != 200) ++pageFailures;
            }
        });
    }
    std::vector<std::chrono::milliseconds> latencies;
    httplib::Client sampler("127.0.0.1", port);
    sampler.set_keep_alive(true);
    const int64_t start = nowMs();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(50ms);
        const auto begin = Clock::now();
        auto r = sampler.Post("/api/metrics/ingest", {{"Authorization", bearer()}},
                              json{{"samples", json::array({smallSample(start + i)})}}.dump(), "application/json");
        latencies.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
    }
    done = true;
    for (auto& t : browser) t.join();
    EXPECT_GT(pageRequests.load(), 60);
    EXPECT_EQ(pageFailures.load(), 0);
    std::sort(latencies.begin(), latencies.end());
    if (!webapptest::sanitized) {
        EXPECT_LT(latencies.back(), 100ms) << "median " << latencies[latencies.size() / 2].count() << " ms";
    }
}

TEST_F(ServerHardening, SlowAndIdleConnectionsNeverHoldAnIngestUp) {
    // 100 silent connections and 100 that trickle a request a byte at a time.
    std::vector<std::unique_ptr<Connection>> silent, trickling;
    for (int i = 0; i < 100; ++i) {
        silent.push_back(std::make_unique<Connection>(port));
        trickling.push_back(std::make_unique<Connection>(port));
        ASSERT_TRUE(silent.back()->connected() && trickling.back()->connected());
    }
    const std::string slow = "POST /api/metrics/ingest HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nX-Slow: " + std::string(200, 'a');
    std::atomic<bool> done{false};
    std::thread trickler([&] {
        for (size_t at = 0; at < slow.size() && !done; ++at) {
            for (auto& c : trickling) c->send(slow.substr(at, 1));
            std::this_thread::sleep_for(20ms);
        }
    });
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(100ms);
        const auto [status, took] = timedIngest(nowMs() + i);
        EXPECT_EQ(status, 200);
        EXPECT_LT(took, 1000ms);
    }
    done = true;
    trickler.join();
}

TEST_F(ServerHardening, HeaderFloodsGet431AndMemoryStaysWhereItWas) {
    ASSERT_EQ(client->Get("/api/health")->status, 200);
    const long before = residentKiB(server->pid());
    {
        // Many small header fields: over the count.
        std::vector<std::string> many;
        for (int i = 0; i < 100; ++i) many.push_back("X-" + std::to_string(i) + ": 1");
        Connection c(port);
        c.send(request("GET", "/api/health", port, many));
        EXPECT_EQ(Connection::status(c.receive()), 431);
    }
    {
        // One endless stream of header fields: answered and cut off, never buffered.
        Connection c(port);
        c.send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n");
        const std::string chunk = [] {
            std::string s;
            for (int i = 0; i < 1000; ++i) s += "X-Flood-" + std::to_string(i) + ": yes\r\n";
            return s;
        }();
        for (int i = 0; i < 1000 && c.send(chunk); ++i) {
        }
        const int status = Connection::status(c.receive(1000ms));
        EXPECT_TRUE(status == 431 || status == 0) << status;
    }
    {
        // One huge field.
        Connection c(port);
        c.send(request("GET", "/api/health", port, {"X-Big: " + std::string(64 * 1024, 'b')}));
        const int status = Connection::status(c.receive());
        EXPECT_TRUE(status == 431 || status == 0) << status;
    }
    EXPECT_EQ(client->Get("/api/health")->status, 200);
    if (!webapptest::sanitized) {
        EXPECT_LT(residentKiB(server->pid()) - before, 4096) << "KiB grown";
    }
}

TEST_F(ServerHardening, RefusesTwoHostHeadersAndRequestsFromOtherOrigins) {
    const std::string body = json{{"samples", json::array({smallSample(nowMs())})}}.dump();
    for (const std::string& second : {std::string("evil.example"), "127.0.0.1:" + std::to_string(port)}) {
        Connection c(port);
        c.send(request("POST", "/api/metrics/ingest", port, {"Host: " + second, "Authorization: " + bearer()}, body));
        const int status = Connection::status(c.receive());
        EXPECT_GE(status, 400) << second;
        EXPECT_LT(status, 500) << second;
    }
    const std::string cookie = std::string("Cookie: tidemark_token=") + ServerProcess::token;
    auto dockPut = [&](const std::vector<std::string>& extra, const std::string& type) {
        std::vector<std::string> headers = {cookie, "Content-Type: " + type};
        headers.insert(headers.end(), extra.begin(), extra.end());
        Connection c(port);
        c.send(request("PUT", "/api/dock", port, headers, "{\"showInDock\":true}"));
        return Connection::status(c.receive());
    };
    const std::string other = "Origin: http://127.0.0.1:" + std::to_string(port + 1);
    // A form on a page of another local port: same site, so the browser sends the cookie.
    EXPECT_EQ(dockPut({other, "Sec-Fetch-Site: same-site"}, "text/plain"), 403);
    EXPECT_EQ(dockPut({other}, "application/json"), 403);
    EXPECT_EQ(dockPut({"Origin: null"}, "application/json"), 403);
    EXPECT_EQ(dockPut({}, "application/json"), 403) << "a write without any origin";
    EXPECT_EQ(client->Get("/api/quotas", {{"Cookie", cookie.substr(8)}})->status, 200);
    EXPECT_EQ(json::parse(client->Get("/api/quotas", {{"Cookie", cookie.substr(8)}})->body)["dock"]["showInDock"], false);
    EXPECT_EQ(dockPut({"Origin: http://127.0.0.1:" + std::to_string(port), "Sec-Fetch-Site: same-origin"},
                      "application/json"),
              200);
    // Reads from another page are refused too; the panel opened from a link is not.
    EXPECT_EQ(client->Get("/api/state", {{"Cookie", cookie.substr(8)}, {"Sec-Fetch-Site", "same-site"},
                                         {"Sec-Fetch-Mode", "cors"}})->status,
              403);
    EXPECT_EQ(client->Get("/?surface=panel", {{"Cookie", cookie.substr(8)}, {"Sec-Fetch-Site", "cross-site"},
                                              {"Sec-Fetch-Mode", "navigate"}})->status,
              200);

    // The login link gives the browser a session of its own: never the token, and no ingest.
    auto login = client->Get(std::string("/login?token=") + ServerProcess::token,
                             {{"Sec-Fetch-Site", "none"}, {"Sec-Fetch-Mode", "navigate"}});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 303);
    const std::string setCookie = login->get_header_value("Set-Cookie");
    EXPECT_EQ(setCookie.find(ServerProcess::token), std::string::npos);
    ASSERT_EQ(setCookie.rfind("tidemark_session=", 0), 0u) << setCookie;
    EXPECT_NE(setCookie.find("HttpOnly; SameSite=Strict; Path=/"), std::string::npos);
    const std::string session = setCookie.substr(0, setCookie.find(';'));
    const std::string secret = session.substr(session.find('=') + 1);
    EXPECT_EQ(client->Get("/?surface=panel", {{"Cookie", session}})->status, 200);
    EXPECT_EQ(client->Get("/api/state", {{"Cookie", session}, {"Sec-Fetch-Site", "same-origin"}})->status, 200);
    EXPECT_EQ(client->Post("/api/metrics/ingest", {{"Authorization", "Bearer " + secret}}, body, "application/json")->status,
              401);
    EXPECT_EQ(client->Post("/api/metrics/ingest", {{"Cookie", session}}, body, "application/json")->status, 401);
    EXPECT_EQ(client->Get("/login?token=" + secret)->status, 401);
}

TEST_F(ServerHardening, HostileBodiesGet4xxAndLeaveMemoryWhereItWas) {
    auto post = [&](const std::string& path, const std::string& body) {
        auto r = client->Post(path, {{"Authorization", bearer()}}, body, "application/json");
        return r ? r->status : 0;
    };
    ASSERT_EQ(post("/api/metrics/ingest", json{{"samples", json::array({smallSample(nowMs())})}}.dump()), 200);
    const long before = residentKiB(server->pid());
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = [] {
        std::string s;
        for (int i = 0; i < 100000; ++i) s += "{\"a\":";
        return s + "1" + std::string(100000, '}');
    }();
    std::string sample = smallSample(nowMs()).dump();
    auto with = [&](const std::string& field, const std::string& literal) {
        json s = smallSample(nowMs());
        s[field] = 0;
        std::string text = s.dump();
        const std::string key = "\"" + field + "\":0";
        text.replace(text.find(key), key.size(), "\"" + field + "\":" + literal);
        return "{\"samples\":[" + text + "]}";
    };
    const std::vector<std::string> bad = {
        deep, deepObject, "{\"samples\":" + deep + "}",
        with("cpuUsage", "NaN"), with("cpuUsage", "Infinity"), with("cpuUsage", "1e400"), with("rxBps", "-1e400"),
        with("ts", "123456789012345678901234567890"), with("memoryUsed", "18446744073709551616"),
        "{\"samples\":[" + std::string(900000, ' ') + "1" + "]}",
        "{\"samples\":[" + [&] { std::string s; for (int i = 0; i < 5000; ++i) s += (i ? "," : "") + sample; return s; }().substr(0, 1000000) + "]}",
    };
    for (const auto& body : bad) {
        const int status = post("/api/metrics/ingest", body);
        EXPECT_GE(status, 400) << body.substr(0, 60);
        EXPECT_LT(status, 500) << body.substr(0, 60);
    }
    // A 10 MB string is refused by its length before anything is read.
    EXPECT_EQ(post("/api/processes/ingest", "{\"sampledAt\":1,\"processes\":[{\"name\":\"" + std::string(10 << 20, 'n') + "\"}]}"),
              413);
    // The caps per body: samples, processes, name length.
    json samples = json::array();
    for (int i = 0; i < 61; ++i) samples.push_back(smallSample(nowMs() - 61000 + i * 1000));
    EXPECT_EQ(post("/api/metrics/ingest", json{{"samples", samples}}.dump()), 400);
    samples.erase(samples.begin());
    EXPECT_EQ(post("/api/metrics/ingest", json{{"samples", samples}}.dump()), 200);
    json processes = json::array();
    for (int i = 0; i < 65; ++i) processes.push_back(processJSON(i + 1, "p"));
    EXPECT_EQ(post("/api/processes/ingest", json{{"sampledAt", 1}, {"processes", processes}}.dump()), 400);
    EXPECT_EQ(post("/api/processes/ingest",
                   json{{"sampledAt", 1}, {"processes", json::array({processJSON(1, std::string(257, 'x'))})}}.dump()),
              400);
    EXPECT_EQ(post("/api/processes/ingest",
                   json{{"sampledAt", 1}, {"processes", json::array({processJSON(1, std::string(256, 'x'))})}}.dump()),
              200);
    if (!webapptest::sanitized) {
        EXPECT_LT(residentKiB(server->pid()) - before, 4096) << "KiB grown";
    }
}

TEST_F(ServerHardening, AKillDuringIngestsLosesNothingAcknowledgedAndLeavesAnIntactDatabase) {
    int64_t acknowledged = 0;
    for (int round = 0; round < 6; ++round) {
        if (round > 0) {
            server = std::make_unique<ServerProcess>(dir.path(), std::map<std::string, std::string>{}, port);
            ASSERT_TRUE(server->waitUntilListening()) << server->output();
        }
        std::atomic<bool> stop{false};
        std::atomic<int64_t> last{0};
        std::vector<std::thread> writers;
        const int64_t base = nowMs() - 3600 * 1000 + round * 600000;
        for (int w = 0; w < 3; ++w) {
            writers.emplace_back([&, w] {
                httplib::Client c("127.0.0.1", port);
                c.set_keep_alive(true);
                for (int64_t i = 0; !stop; ++i) {
                    json samples = json::array();
                    const int64_t ts = base + (i * 3 + w) * 60;
                    for (int k = 0; k < 20; ++k) samples.push_back(smallSample(ts + k));
                    auto r = c.Post("/api/metrics/ingest", {{"Authorization", bearer()}}, json{{"samples", samples}}.dump(),
                                    "application/json");
                    if (!r) break;
                    if (r->status == 200) {
                        int64_t seen = last.load();
                        while (ts > seen && !last.compare_exchange_weak(seen, ts)) {
                        }
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + round * 40));
        // A slow build (a sanitizer, a loaded machine) may need longer for its first answer.
        EXPECT_TRUE(testsupport::eventually([&] { return last.load() > 0; }, std::chrono::seconds(10)));
        kill(server->pid(), SIGKILL);
        EXPECT_EQ(server->waitForExit(3000), -SIGKILL);
        stop = true;
        for (auto& t : writers) t.join();
        acknowledged = last.load();
        server.reset();
        ASSERT_GT(acknowledged, 0);

        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2((dir.path() + "/history.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        auto single = [&](const std::string& sql) {
            sqlite3_stmt* s = nullptr;
            std::string value;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
                value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            }
            sqlite3_finalize(s);
            return value;
        };
        EXPECT_EQ(single("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(single("SELECT COUNT(*) FROM samples WHERE ts = " + std::to_string(acknowledged)), "1")
            << "an acknowledged sample was lost";
        sqlite3_close(db);
    }
}

namespace {

std::string readWhenThere(const std::string& path) {
    std::string text;
    testsupport::eventually([&] { return static_cast<bool>(std::ifstream(path) >> text); }, 10000ms);
    return text;
}

// A quota command that reports its pid and its helper's, then hangs.
void writeHangingQuota(const std::string& dir) {
    const std::string script = dir + "/hang.sh";
    std::ofstream(script) << "#!/bin/sh\nsleep 30 &\necho $! > " << dir << "/helper.part\necho $$ > " << dir
                          << "/command.part\nmv " << dir << "/helper.part " << dir << "/helper.pid\nmv " << dir
                          << "/command.part " << dir << "/command.pid\nwait\n";
    chmod(script.c_str(), 0755);
    std::ofstream(dir + "/quotas.json")
        << json{{"providers", json::array({json{{"id", "hang"}, {"name", "Hang"}, {"color", "#123456"},
                                                {"command", json::array({script})}}})}}.dump();
}

}  // namespace

TEST(ServerChildren, AQuotaCommandDiesWithTheServerAndNeverHoldsAStopUp) {
    testsupport::TemporaryDirectory dir;
    writeHangingQuota(dir.path());
    {
        // Killed outright: the command goes with it through its parent-death signal.
        ServerProcess server(dir.path());
        ASSERT_TRUE(server.waitUntilListening()) << server.output();
        const std::string command = readWhenThere(dir.path() + "/command.pid");
        ASSERT_TRUE(webapptest::processAlive(command));
        kill(server.pid(), SIGKILL);
        server.waitForExit(3000);
        EXPECT_TRUE(testsupport::eventually([&] { return !webapptest::processAlive(command); }, 1000ms))
            << "quota command " << command << " outlived the server";
    }
    std::string leftover;
    std::ifstream(dir.path() + "/helper.pid") >> leftover;
    if (webapptest::processAlive(leftover)) kill(static_cast<pid_t>(std::stoi(leftover)), SIGKILL);
    std::filesystem::remove(dir.path() + "/command.pid");
    std::filesystem::remove(dir.path() + "/helper.pid");
    {
        // Stopped: the stop kills the command's whole group and does not wait on it.
        ServerProcess server(dir.path());
        ASSERT_TRUE(server.waitUntilListening()) << server.output();
        const std::string command = readWhenThere(dir.path() + "/command.pid");
        const std::string helper = readWhenThere(dir.path() + "/helper.pid");
        ASSERT_TRUE(webapptest::processAlive(command) && webapptest::processAlive(helper));
        const auto start = Clock::now();
        EXPECT_EQ(server.terminate(3000), 0) << server.output();
        EXPECT_LT(Clock::now() - start, 1000ms);
        EXPECT_TRUE(testsupport::eventually([&] { return !webapptest::processAlive(command) && !webapptest::processAlive(helper); }, 1000ms));
    }
}

TEST(ServerChildren, StopsWithinTwoSecondsWithIdleAndHalfSentRequestsOpen) {
    testsupport::TemporaryDirectory dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    const int port = server.port();
    std::vector<std::unique_ptr<Connection>> open;
    for (int i = 0; i < 30; ++i) {
        open.push_back(std::make_unique<Connection>(port));
        if (i % 3 == 0) {
            open.back()->send(request("GET", "/api/health", port));
            EXPECT_EQ(Connection::status(open.back()->receive()), 200);
        } else if (i % 3 == 1) {
            open.back()->send("POST /api/metrics/ingest HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nContent-Length: 100\r\n\r\n{\"samp");
        }
    }
    const auto start = Clock::now();
    EXPECT_EQ(server.terminate(3000), 0) << server.output();
    EXPECT_LT(Clock::now() - start, 2000ms);
    EXPECT_LT(Clock::now() - start, 500ms) << "a stop that closes connections should not take long";
}
