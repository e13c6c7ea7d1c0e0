#include "HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

// One request on its way through the engine, from its request line to its completion.
struct HttpServer::Exchange {
    HttpRequest request;
    bool screened = false;
    bool tooLarge = false;
    size_t received = 0;
};

struct HttpServer::Callbacks {
    static void* onRequestLine(void*, const char* uri, MHD_Connection*) {
        auto* exchange = new Exchange;
        exchange->request.target = uri ? uri : "";
        const size_t question = exchange->request.target.find('?');
        exchange->request.path = exchange->request.target.substr(0, question);
        return exchange;
    }

    static void onCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
    }

    static MHD_Result collectField(void* cls, MHD_ValueKind, const char* key, const char* value) {
        auto* exchange = static_cast<Exchange*>(cls);
        exchange->request.headers.push_back(HeaderField{key ? key : "", value ? value : ""});
        return MHD_YES;
    }

    static MHD_Result send(MHD_Connection* connection, const HttpResponse& response, bool close) {
        MHD_Response* r =
            response.staticBody
                ? MHD_create_response_from_buffer(response.staticSize, const_cast<unsigned char*>(response.staticBody),
                                                  MHD_RESPMEM_PERSISTENT)
                : MHD_create_response_from_buffer(response.body.size(), const_cast<char*>(response.body.data()),
                                                  MHD_RESPMEM_MUST_COPY);
        if (!r) return MHD_NO;
        if (!response.contentType.empty()) MHD_add_response_header(r, "Content-Type", response.contentType.c_str());
        for (const HeaderField& field : response.headers) {
            MHD_add_response_header(r, field.name.c_str(), field.value.c_str());
        }
        // The body of this request stays unread: it must never be taken for the next request.
        if (close) MHD_add_response_header(r, "Connection", "close");
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
        MHD_destroy_response(r);
        return queued;
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char*, const char* method, const char*,
                                const char* uploadData, size_t* uploadSize, void** context) {
        auto& server = *static_cast<HttpServer*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) return MHD_NO;
        HttpRequest& request = exchange->request;
        if (!exchange->screened) {
            exchange->screened = true;
            request.method = method ? method : "";
            if (request.method == MHD_HTTP_METHOD_HEAD) request.method = MHD_HTTP_METHOD_GET;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &Callbacks::collectField, exchange);
            HttpResponse early;
            bool answered = false;
            if (request.headers.size() > server.limits_.maxHeaderFields) {
                server.errors_(early, 431, "too many header fields");
                answered = true;
            } else if (const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length")) {
                unsigned long long bytes = 0;
                const char* end = length + std::strlen(length);
                const auto parsed = std::from_chars(length, end, bytes);
                const bool valid = parsed.ec == std::errc() && parsed.ptr == end;
                if (valid && bytes > server.limits_.maxDiscardBytes) {
                    server.errors_(early, 413, "body larger than 1 MiB");
                    answered = true;
                } else if (valid && bytes > server.limits_.maxBodyBytes) {
                    // Read and dropped, so the client is still listening when the 413 comes.
                    exchange->tooLarge = true;
                } else if (valid) {
                    request.body.reserve(static_cast<size_t>(bytes));
                }
            }
            if (!answered) answered = server.screen_(request, early);
            if (answered) return send(connection, early, true);
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            exchange->received += *uploadSize;
            if (exchange->received > server.limits_.maxDiscardBytes) return MHD_NO;  // closes the connection
            if (!exchange->tooLarge && request.body.size() + *uploadSize <= server.limits_.maxBodyBytes) {
                request.body.append(uploadData, *uploadSize);
            } else {
                // A chunked body has no length up front: what arrives is dropped, the answer comes at the end.
                exchange->tooLarge = true;
                std::string().swap(request.body);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        HttpResponse response;
        if (exchange->tooLarge) {
            server.errors_(response, 413, "body larger than 1 MiB");
        } else {
            server.handler_(request, response);
        }
        return send(connection, response, false);
    }
};

HttpServer::HttpServer(Limits limits, Screen screen, Handler handler, ErrorWriter errors)
    : limits_(limits), screen_(std::move(screen)), handler_(std::move(handler)), errors_(std::move(errors)) {}

HttpServer::~HttpServer() {
    stop();
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool HttpServer::bind(int port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("could not create a socket: ") + std::strerror(errno);
        return false;
    }
    // SO_REUSEADDR only: SO_REUSEPORT would let a second server share a port that is taken.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        ::close(fd);
        error = port == 0 ? "could not bind 127.0.0.1 on any port"
                          : "could not bind 127.0.0.1:" + std::to_string(port) + " (" + std::strerror(saved) + ")";
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    listenFd_ = fd;
    port_ = ntohs(address.sin_port);
    return true;
}

bool HttpServer::start(std::string& error) {
    if (listenFd_ < 0) {
        error = "not bound";
        return false;
    }
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr,
        &Callbacks::onRequest, this,
        MHD_OPTION_LISTEN_SOCKET, listenFd_,
        MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::onRequestLine, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, this,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.headerBytes,
        MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleTimeoutSeconds,
        MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_END);
    if (!daemon_) {
        error = "the HTTP engine did not start";
        return false;
    }
    // The daemon owns the socket from here and closes it when it stops.
    listenFd_ = -1;
    return true;
}

void HttpServer::stop() {
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}
