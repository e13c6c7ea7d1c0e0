// One minimal server per candidate HTTP engine, all answering the same two routes the
// samplers use (GET /api/health, POST /api/metrics/ingest with a JSON body), so that
// bench/server_engines/measure.py can compare their idle wake-ups, CPU per request and
// behaviour under slow connections on the same machine state.
//   server_engine_bench httplib-keepalive|httplib-close|microhttpd|beast PORT
#include <httplib.h>
#include <microhttpd.h>

#include <optional>
#include <utility>  // Boost 1.74's asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <boost/beast.hpp>

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

const std::string kAnswer = "{\"ok\":true}";

int runHttplib(int port, bool keepAlive) {
    httplib::Server server;
    // As TidemarkServer was configured before the engine changed.
    server.new_task_queue = [] { return new httplib::ThreadPool(24); };
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5);
    if (!keepAlive) server.set_keep_alive_max_count(1);
    server.Get("/api/health", [](const httplib::Request&, httplib::Response& r) { r.set_content(kAnswer, "application/json"); });
    server.Post("/api/metrics/ingest", [](const httplib::Request& q, httplib::Response& r) {
        r.set_content(q.body.empty() ? "{}" : kAnswer, "application/json");
    });
    return server.listen("127.0.0.1", port) ? 0 : 1;
}

MHD_Result onMhdRequest(void*, MHD_Connection* connection, const char*, const char*, const char*, const char*,
                        size_t* uploadSize, void** context) {
    if (!*context) {
        *context = connection;  // headers seen
        return MHD_YES;
    }
    if (*uploadSize) {
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(kAnswer.size(), const_cast<char*>(kAnswer.data()), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Content-Type", "application/json");
    const MHD_Result queued = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return queued;
}

int runMicrohttpd(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    MHD_Daemon* daemon = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr,
                                          &onMhdRequest, nullptr, MHD_OPTION_SOCK_ADDR, &address,
                                          MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (!daemon) return 1;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    int received = 0;
    sigwait(&signals, &received);
    MHD_stop_daemon(daemon);
    return 0;
}

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

class BeastSession : public std::enable_shared_from_this<BeastSession> {
public:
    explicit BeastSession(tcp::socket socket) : stream_(std::move(socket)) {}
    void read() {
        parser_.emplace();
        parser_->body_limit(1024 * 1024);
        parser_->header_limit(16 * 1024);
        stream_.expires_after(std::chrono::seconds(10));
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
                return;
            }
            self->answer();
        });
    }

private:
    void answer() {
        auto request = parser_->release();
        response_ = {};
        response_.version(request.version());
        response_.keep_alive(request.keep_alive());
        response_.result(http::status::ok);
        response_.set(http::field::content_type, "application/json");
        response_.body() = kAnswer;
        response_.prepare_payload();
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (!ec && self->response_.keep_alive()) self->read();
        });
    }
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
};

void acceptNext(tcp::acceptor& acceptor) {
    acceptor.async_accept([&acceptor](beast::error_code ec, tcp::socket socket) {
        if (!ec) std::make_shared<BeastSession>(std::move(socket))->read();
        acceptNext(acceptor);
    });
}

int runBeast(int port) {
    boost::asio::io_context context(1);
    tcp::acceptor acceptor(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)));
    acceptNext(acceptor);
    boost::asio::signal_set stop(context, SIGTERM);
    stop.async_wait([&](beast::error_code, int) { context.stop(); });
    context.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s httplib-keepalive|httplib-close|microhttpd|beast PORT\n", argv[0]);
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    signal(SIGPIPE, SIG_IGN);
    const std::string engine = argv[1];
    const int port = std::atoi(argv[2]);
    if (engine == "beast") return runBeast(port);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (engine == "httplib-keepalive") return runHttplib(port, true);
    if (engine == "httplib-close") return runHttplib(port, false);
    if (engine == "microhttpd") return runMicrohttpd(port);
    return 2;
}
