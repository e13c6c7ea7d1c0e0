// The loopback client against a server that answers byte for byte what each case scripts:
// every framing a reply may use, broken replies, connections the server drops, redirects
// and requests that must never reach the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/LoopbackSession.h"
#include "platform/URLSession.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::URLRequest;
using platform::URLSession;

namespace {

// One reply per request, chosen by the case from the request's text and the number of
// the connection it came on (0 for the first). Each connection has a thread of its own.
class ScriptedServer {
public:
    struct Answer {
        std::string bytes;
        bool close = false;          // close after writing
        std::chrono::milliseconds delay{0};
    };
    using Script = std::function<Answer(const std::string& request, int connection)>;

    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 64);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        ::close(listener_);
        {
            std::lock_guard lock(mutex_);
            for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& worker : workers_) worker.join();
        for (int fd : open_) ::close(fd);
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_; }
    int mostAtOnce() const { return mostAtOnce_; }

private:
    void acceptLoop() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int index = connections_++;
            std::lock_guard lock(mutex_);
            open_.push_back(fd);
            workers_.emplace_back([this, fd, index] { serve(fd, index); });
        }
    }

    void serve(int fd, int index) {
        const int now = ++atOnce_;
        for (int most = mostAtOnce_; now > most && !mostAtOnce_.compare_exchange_weak(most, now);) {}
        std::string pending;
        char buffer[4096];
        for (bool open = true; open;) {
            size_t headerEnd;
            while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    open = false;
                    break;
                }
                pending.append(buffer, static_cast<size_t>(got));
            }
            if (!open) break;
            size_t length = 0;
            if (const auto at = pending.find("Content-Length: "); at != std::string::npos && at < headerEnd)
                length = std::stoul(pending.substr(at + 16));
            while (pending.size() < headerEnd + 4 + length) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                pending.append(buffer, static_cast<size_t>(got));
            }
            const std::string request = pending.substr(0, std::min(pending.size(), headerEnd + 4 + length));
            pending.erase(0, request.size());
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const Answer answer = script_(request, index);
            std::this_thread::sleep_for(answer.delay);
            if (!answer.bytes.empty()) ::send(fd, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
            open = !answer.close;
        }
        --atOnce_;
        ::shutdown(fd, SHUT_RDWR);
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> open_;
    std::vector<std::thread> workers_;
    std::atomic<int> connections_{0}, atOnce_{0}, mostAtOnce_{0};
};

std::string ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Outcome {
    std::optional<std::string> data;
    std::optional<platform::HTTPURLResponse> response;
    std::optional<platform::Error> error;
    std::string text() const {
        if (error) return "error " + std::to_string(error->code) + ": " + error->description;
        if (!response) return "nothing";
        return std::to_string(response->statusCode) + " " + data.value_or("<no data>");
    }
};

Outcome fetch(URLSession& session, URLRequest request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    session.dataTask(std::move(request), [promise](auto data, auto response, auto error) {
               promise->set_value({data, response, error});
           })->resume();
    auto future = promise->get_future();
    if (future.wait_for(10s) != std::future_status::ready) return {};
    return future.get();
}

URLRequest request(const std::string& url, const std::string& method = "GET",
                   std::optional<std::string> body = std::nullopt) {
    URLRequest made;
    made.url = url;
    made.httpMethod = method;
    made.httpBody = std::move(body);
    return made;
}

std::shared_ptr<URLSession> session() {
    return platform::URLSession::make(platform::URLSessionConfiguration::ephemeral());
}

}  // namespace

TEST(LoopbackSession, EveryReplyFramingAndTheRequestAsSent) {
    ScriptedServer server([](const std::string& request, int) -> ScriptedServer::Answer {
        if (request.starts_with("GET /chunked"))
            return {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"};
        if (request.starts_with("GET /until-close"))
            return {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nall of it", true};
        if (request.starts_with("POST /interim"))
            return {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nX-Final: yes\r\nContent-Length: 4\r\n\r\ndone"};
        if (request.starts_with("HEAD /")) return {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"};
        if (request.starts_with("DELETE /")) return {"HTTP/1.1 204 No Content\r\n\r\n"};
        return {ok("plain")};
    });
    auto client = session();
    EXPECT_EQ(fetch(*client, request(server.url("/chunked"))).text(), "200 hello world");
    EXPECT_EQ(fetch(*client, request(server.url("/until-close"))).text(), "200 all of it");
    const auto interim = fetch(*client, request(server.url("/interim"), "POST", "body"));
    EXPECT_EQ(interim.text(), "201 done");
    ASSERT_TRUE(interim.response);
    EXPECT_EQ(interim.response->value("x-final"), "yes");
    // No body follows a HEAD or a 204, whatever the headers say: the next reply on the
    // same connection is read as its own.
    EXPECT_EQ(fetch(*client, request(server.url("/"), "HEAD")).text(), "200 ");
    EXPECT_EQ(fetch(*client, request(server.url("/"), "DELETE")).text(), "204 ");
    EXPECT_EQ(fetch(*client, request(server.url("/after?x=1"))).text(), "200 plain");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 6u);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    EXPECT_TRUE(requests[0].starts_with("GET /chunked HTTP/1.1\r\n" + host)) << requests[0];
    EXPECT_EQ(requests[2].find("Expect"), std::string::npos);
    EXPECT_NE(requests[2].find("Content-Length: 4\r\n\r\nbody"), std::string::npos) << requests[2];
    EXPECT_TRUE(requests[5].starts_with("GET /after?x=1 HTTP/1.1\r\n")) << requests[5];
    // The close-delimited reply ended its connection; the rest shared the next one.
    EXPECT_EQ(server.connections(), 2);

    // localhost and an address elsewhere in 127/8 are this machine too.
    EXPECT_TRUE(platform::isLoopbackURL("http://localhost:1/"));
    EXPECT_TRUE(platform::isLoopbackURL("http://127.1.2.3/"));
    EXPECT_TRUE(platform::isLoopbackURL("http://[::1]:8/x"));
    for (const std::string elsewhere : {"https://127.0.0.1/", "http://198.18.0.1/", "http://128.0.0.1/", "http://localhost.example/"})
        EXPECT_FALSE(platform::isLoopbackURL(elsewhere)) << elsewhere;
    EXPECT_EQ(fetch(*client, request("http://localhost:" + std::to_string(server.port()) + "/")).text(), "200 plain");
}

TEST(LoopbackSession, BrokenRepliesAndDroppedConnections) {
    ScriptedServer server([](const std::string& request, int connection) -> ScriptedServer::Answer {
        if (request.starts_with("GET /garbage")) return {"SMTP ready\r\n\r\n", true};
        if (request.starts_with("GET /nothing")) return {"", true};
        if (request.starts_with("GET /short")) return {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true};
        // Kept-alive replies, after which the server drops the connection anyway.
        if (request.starts_with("GET /then-drop")) return {ok("kept?"), true};
        return {ok("fresh " + std::to_string(connection))};
    });
    auto client = session();
    const auto garbage = fetch(*client, request(server.url("/garbage")));
    EXPECT_EQ(garbage.text(), "error -1: The server's reply is not valid HTTP.");
    const auto nothing = fetch(*client, request(server.url("/nothing")));
    EXPECT_EQ(nothing.text(), "error -1: The server closed the connection without replying.");
    const auto cut = fetch(*client, request(server.url("/short")));
    EXPECT_EQ(cut.text(), "error -1: The connection closed before the whole reply arrived.");

    // A kept connection that the server closed while idle is left for a new one.
    EXPECT_EQ(fetch(*client, request(server.url("/then-drop"))).text(), "200 kept?");
    std::this_thread::sleep_for(50ms);
    const int before = server.connections();
    EXPECT_EQ(fetch(*client, request(server.url("/x"))).text(), "200 fresh " + std::to_string(before));

    // A request the server drops unanswered on a kept connection is sent once more, on a
    // new one; on a new connection it is not.
    ScriptedServer dropping([](const std::string& request, int connection) -> ScriptedServer::Answer {
        if (request.starts_with("GET /stale") && connection == 0) return {"", true};
        return {ok("connection " + std::to_string(connection))};
    });
    auto other = session();
    EXPECT_EQ(fetch(*other, request(dropping.url("/first"))).text(), "200 connection 0");
    EXPECT_EQ(fetch(*other, request(dropping.url("/stale"))).text(), "200 connection 1");
    EXPECT_EQ(dropping.requests().size(), 3u);
    EXPECT_EQ(fetch(*other, request(dropping.url("/stale"))).text(), "200 connection 1");
}

TEST(LoopbackSession, RedirectsAreFollowedOnThisMachineOnly) {
    ScriptedServer server([](const std::string& request, int) -> ScriptedServer::Answer {
        auto redirect = [](int status, const std::string& to) {
            return ScriptedServer::Answer{"HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + to +
                                          "\r\nContent-Length: 0\r\n\r\n"};
        };
        if (request.starts_with("POST /found")) return redirect(302, "/landed");
        if (request.starts_with("POST /dir/temporary")) return redirect(307, "again/landed");
        if (request.starts_with("GET /away")) return redirect(301, "http://198.18.0.1/");
        if (request.starts_with("GET /loop")) return redirect(302, "/loop");
        const auto body = request.find("\r\n\r\n") + 4;
        return {ok(request.substr(0, request.find(' ', 5)) + "|" + request.substr(body))};
    });
    auto client = session();
    const auto found = fetch(*client, request(server.url("/found"), "POST", "payload"));
    EXPECT_EQ(found.text(), "200 GET /landed|");
    ASSERT_TRUE(found.response);
    EXPECT_EQ(found.response->url, server.url("/landed"));
    EXPECT_EQ(fetch(*client, request(server.url("/dir/temporary"), "POST", "payload")).text(),
              "200 POST /dir/again/landed|payload");
    EXPECT_EQ(fetch(*client, request(server.url("/away"))).text(),
              "error -1: The server redirected to an address off this machine.");
    EXPECT_EQ(fetch(*client, request(server.url("/loop"))).text(), "error -1: Maximum (16) redirects followed");
}

TEST(LoopbackSession, UnsafeRequestsNeverReachTheWire) {
    ScriptedServer server([](const std::string&, int) -> ScriptedServer::Answer { return {ok("sent")}; });
    auto client = session();
    URLRequest injected = request(server.url("/"));
    injected.setValue("1\r\nX-Injected: yes", "X-Note");
    EXPECT_EQ(fetch(*client, injected).text(), "error -1: The header “X-Note” is not valid.");
    EXPECT_EQ(fetch(*client, request(server.url("/"), "GET /other")).text(), "error -1: The request method is not valid.");
    EXPECT_EQ(fetch(*client, request(server.url("/a b"))).text(), "error -1000: unsupported URL");
    EXPECT_EQ(fetch(*client, request(server.url("/a\r\nb"))).text(), "error -1000: unsupported URL");
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(fetch(*client, request(server.url("/fine"))).text(), "200 sent");
}

TEST(LoopbackSession, AtMostSixConnectionsToOneServer) {
    ScriptedServer server([](const std::string&, int) -> ScriptedServer::Answer { return {ok("slow"), false, 150ms}; });
    auto client = session();
    constexpr int count = 14;
    std::vector<std::future<Outcome>> outcomes;
    for (int index = 0; index < count; ++index)
        outcomes.push_back(std::async(std::launch::async, [&] { return fetch(*client, request(server.url("/"))); }));
    for (auto& outcome : outcomes) EXPECT_EQ(outcome.get().text(), "200 slow");
    EXPECT_EQ(server.requests().size(), static_cast<size_t>(count));
    EXPECT_LE(server.mostAtOnce(), 6);
    EXPECT_GE(server.mostAtOnce(), 2) << "requests ran one after another";
}
