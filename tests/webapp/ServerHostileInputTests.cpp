// The real TidemarkServer against what the hardening tests beside it leave out: hostile
// Dock settings from a page, bodies without a length, slow bodies, overlong request lines,
// and a kill in the middle of Dock writes. Loopback only, bounded in count and time.
#include "ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
using webapptest::ServerProcess;

namespace {

using Clock = std::chrono::steady_clock;

using webapptest::nowMs;
using webapptest::residentKiB;

std::string sampleBody(int64_t ts) { return json{{"samples", json::array({webapptest::smallSample(ts)})}}.dump(); }

using Connection = webapptest::RawConnection;

std::string head(const std::string& method, const std::string& target, int port) {
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
}

const httplib::Headers& pageHeaders(int port) {
    static httplib::Headers headers;
    headers = {{"Cookie", std::string("tidemark_token=") + ServerProcess::token},
               {"Origin", "http://127.0.0.1:" + std::to_string(port)},
               {"Sec-Fetch-Site", "same-origin"}};
    return headers;
}

json storedDock(httplib::Client& client, int port) {
    auto r = client.Get("/api/quotas", pageHeaders(port));
    if (!r || r->status != 200) return {};
    return json::parse(r->body, nullptr, false)["dock"];
}

}  // namespace

TEST(ServerHostileInput, DockUpdatesRefuseHostileBodiesAndKeepTheLastGoodValue) {
    testsupport::TemporaryDirectory dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    const int port = server.port();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10);
    auto put = [&](const std::string& body) {
        auto r = client.Put("/api/dock", pageHeaders(port), body, "application/json");
        return r ? r->status : 0;
    };
    ASSERT_EQ(put(R"({"showInDock":true,"selection":"auto"})"), 200);
    const long before = residentKiB(server.pid());

    const std::vector<std::string> bad = {
        std::string(100000, '[') + std::string(100000, ']'),
        "{\"selection\":" + std::string(100000, '[') + "\"x\"" + std::string(100000, ']') + "}",
        R"({"showInDock":NaN})",
        R"({"showInDock":1e400})",
        R"({"showInDock":1})",
        R"({"showInDock":"true"})",
        R"({"selection":18446744073709551616})",
        R"({"selection":"../../etc"})",
        R"({"selection":"Upper"})",
        "{\"selection\":\"" + std::string(65, 'a') + "\"}",
        "{\"selection\":\"" + std::string(900 * 1024, 'a') + "\"}",
        "{\"selection\":\"a\\u0000b\"}",
        "[]",
        "{\"showInDock\":true",
        "",
    };
    for (const auto& body : bad) {
        const int status = put(body);
        EXPECT_GE(status, 400) << body.substr(0, 60);
        EXPECT_LT(status, 500) << body.substr(0, 60);
    }
    // Too large to read at all: refused by its length.
    EXPECT_EQ(put("{\"selection\":\"" + std::string(10 << 20, 'a') + "\"}"), 413);

    const json dock = storedDock(client, port);
    EXPECT_EQ(dock["showInDock"], true);
    EXPECT_EQ(dock["selection"], "auto");
    std::ifstream file(dir.path() + "/dock.json");
    std::stringstream text;
    text << file.rdbuf();
    const json onDisk = json::parse(text.str(), nullptr, false);
    EXPECT_EQ(onDisk, json({{"showInDock", true}, {"selection", "auto"}})) << text.str();
    if (!webapptest::sanitized) {
        EXPECT_LT(residentKiB(server.pid()) - before, 4096) << "KiB grown";
    }
    EXPECT_EQ(server.terminate(), 0) << server.output();
}

TEST(ServerHostileInput, BodiesWithoutALengthAndOverlongRequestsAreCapped) {
    testsupport::TemporaryDirectory dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    const int port = server.port();
    const std::string bearer = std::string("Authorization: Bearer ") + ServerProcess::token + "\r\n";
    const long before = residentKiB(server.pid());
    {
        // A chunked body that never stops growing: cut off at the cap, never buffered whole.
        Connection c(port);
        c.send(head("POST", "/api/metrics/ingest", port) + bearer +
               "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
        const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
        int sent = 0;
        while (sent < 64 && c.send(chunk)) ++sent;  // up to 4 MiB
        if (sent == 64) c.send("0\r\n\r\n");
        EXPECT_EQ(Connection::status(c.receive()), 413);
    }
    {
        // A small chunked body is read like any other.
        Connection c(port);
        const std::string body = sampleBody(nowMs());
        std::ostringstream chunked;
        chunked << std::hex << body.size() << "\r\n" << body << "\r\n0\r\n\r\n";
        c.send(head("POST", "/api/metrics/ingest", port) + bearer +
               "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked.str());
        EXPECT_EQ(Connection::status(c.receive()), 200);
    }
    {
        // A length far beyond the cap is refused before any byte of the body comes.
        Connection c(port);
        c.send(head("POST", "/api/metrics/ingest", port) + bearer + "Content-Length: 1000000000000000\r\n\r\n");
        const auto start = Clock::now();
        EXPECT_EQ(Connection::status(c.receive()), 413);
        EXPECT_LT(Clock::now() - start, 2000ms);
    }
    {
        // A length that is not a number.
        Connection c(port);
        c.send(head("POST", "/api/metrics/ingest", port) + bearer + "Content-Length: 99999999999999999999999\r\n\r\n{}");
        EXPECT_EQ(Connection::status(c.receive()), 413);
    }
    for (const size_t length : {size_t{8} << 10, size_t{100} << 10, size_t{1} << 20}) {
        // Overlong targets: refused, never a crash or a 5xx.
        Connection c(port);
        c.send(head("GET", "/api/history?range=" + std::string(length, 'a'), port) + "\r\n");
        const int status = Connection::status(c.receive());
        EXPECT_GE(status, 400) << length;
        EXPECT_LT(status, 500) << length;
    }
    httplib::Client client("127.0.0.1", port);
    auto health = client.Get("/api/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    if (!webapptest::sanitized) {
        EXPECT_LT(residentKiB(server.pid()) - before, 4096) << "KiB grown";
    }
    EXPECT_EQ(server.terminate(), 0) << server.output();
}

TEST(ServerHostileInput, TricklingBodiesNeverHoldAnIngestUp) {
    testsupport::TemporaryDirectory dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    const int port = server.port();
    // 150 connections that announce a body and send it a byte at a time, 50 that stop
    // after the announcement.
    std::vector<std::unique_ptr<Connection>> trickling, stalled;
    const std::string announce = head("POST", "/api/metrics/ingest", port) + "Authorization: Bearer " +
                                 ServerProcess::token + "\r\nContent-Type: application/json\r\nContent-Length: 4000\r\n\r\n";
    for (int i = 0; i < 200; ++i) {
        auto c = std::make_unique<Connection>(port);
        ASSERT_TRUE(c->connected());
        ASSERT_TRUE(c->send(announce));
        (i < 150 ? trickling : stalled).push_back(std::move(c));
    }
    std::atomic<bool> done{false};
    std::thread trickler([&] {
        for (int at = 0; at < 200 && !done; ++at) {
            for (auto& c : trickling) c->send(at == 0 ? "[" : " ");
            std::this_thread::sleep_for(20ms);
        }
    });
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(100ms);
        const auto start = Clock::now();
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(5);
        auto r = c.Post("/api/metrics/ingest", {{"Authorization", std::string("Bearer ") + ServerProcess::token}},
                        sampleBody(nowMs() + i), "application/json");
        ASSERT_TRUE(r) << "ingest " << i << " got no answer";
        EXPECT_EQ(r->status, 200);
        EXPECT_LT(Clock::now() - start, 1000ms) << "ingest " << i;
    }
    done = true;
    trickler.join();
    trickling.clear();
    stalled.clear();
    EXPECT_EQ(server.terminate(), 0) << server.output();
}

TEST(ServerHostileInput, AKillDuringDockWritesLeavesAnAcknowledgedValueOrANewerOne) {
    testsupport::TemporaryDirectory dir;
    int port = 0;
    for (int round = 0; round < 5; ++round) {
        ServerProcess server(dir.path(), {}, port);
        ASSERT_TRUE(server.waitUntilListening()) << server.output();
        port = server.port();
        std::atomic<int> acknowledged{-1};
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            httplib::Client c("127.0.0.1", port);
            c.set_keep_alive(true);
            for (int i = 0; i < 1000 && !stop; ++i) {
                // Both fields change together, so a torn or mixed file would show.
                const json body{{"showInDock", i % 2 == 0}, {"selection", std::string("p").append(std::to_string(round * 1000 + i))}};
                auto r = c.Put("/api/dock", pageHeaders(port), body.dump(), "application/json");
                if (!r) break;
                if (r->status == 200) acknowledged = round * 1000 + i;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(120 + round * 70));
        kill(server.pid(), SIGKILL);
        EXPECT_EQ(server.waitForExit(3000), -SIGKILL);
        stop = true;
        writer.join();
        ASSERT_GE(acknowledged.load(), round * 1000) << "no write was acknowledged before the kill";

        std::ifstream file(dir.path() + "/dock.json");
        std::stringstream text;
        text << file.rdbuf();
        const json value = json::parse(text.str(), nullptr, false);
        ASSERT_TRUE(value.is_object()) << "round " << round << ": " << text.str().substr(0, 80);
        const int number = std::stoi(value["selection"].get<std::string>().substr(1));
        EXPECT_GE(number, acknowledged.load()) << "an acknowledged value was lost";
        EXPECT_LE(number, acknowledged.load() + 1) << "a value no request sent";
        EXPECT_EQ(value["showInDock"], (number - round * 1000) % 2 == 0);
    }
    // The next server reads the last value and leaves no temporary files behind.
    ServerProcess server(dir.path(), {}, port);
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    httplib::Client client("127.0.0.1", port);
    const json dock = storedDock(client, port);
    ASSERT_TRUE(dock.is_object());
    EXPECT_EQ(dock["selection"].get<std::string>().rfind("p4", 0), 0u) << dock.dump();
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find("tmp"), std::string::npos) << entry.path();
    EXPECT_EQ(server.terminate(), 0) << server.output();
}

TEST(ServerHostileInput, NoWrongTokenIsEverAcceptedForIngestOrPages) {
    testsupport::TemporaryDirectory dir;
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.waitUntilListening()) << server.output();
    const int port = server.port();
    const std::string token = ServerProcess::token;
    std::vector<std::string> wrong = {"", token.substr(0, 31), token + "0", token.substr(1), std::string(32, '0'),
                                      token.substr(0, 31) + "G", token.substr(0, 16), token + token};
    std::string lower = token;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    wrong.push_back(lower);
    std::mt19937 random(17);
    const char* digits = "0123456789ABCDEF";
    while (wrong.size() < 1000) {
        // Most share a long prefix with the real token, where a comparison that stops early would differ.
        std::string guess = token;
        const size_t from = std::uniform_int_distribution<size_t>(0, 31)(random);
        for (size_t i = from; i < guess.size(); ++i) guess[i] = digits[random() % 16];
        if (guess != token) wrong.push_back(guess);
    }
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    int accepted = 0, answered = 0;
    for (const auto& guess : wrong) {
        auto ingest = client.Post("/api/metrics/ingest", {{"Authorization", "Bearer " + guess}}, sampleBody(nowMs()),
                                  "application/json");
        auto page = client.Get("/api/state", {{"Cookie", "tidemark_token=" + guess}, {"Sec-Fetch-Site", "same-origin"}});
        auto login = client.Get("/login?token=" + httplib::detail::encode_query_param(guess));
        for (const auto* r : {&ingest, &page, &login}) {
            if (!*r) continue;
            ++answered;
            if ((*r)->status < 400) {
                ++accepted;
                ADD_FAILURE() << "accepted " << (*r)->status << " for a token of " << guess.size() << " characters: \""
                              << guess << "\" via " << (r == &ingest ? "bearer" : r == &page ? "cookie" : "login");
            }
        }
    }
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(answered, static_cast<int>(wrong.size()) * 3);
    // The real one still works after the flood.
    auto right = client.Post("/api/metrics/ingest", {{"Authorization", "Bearer " + token}}, sampleBody(nowMs()),
                             "application/json");
    ASSERT_TRUE(right);
    EXPECT_EQ(right->status, 200);
    EXPECT_EQ(server.terminate(), 0) << server.output();
}
