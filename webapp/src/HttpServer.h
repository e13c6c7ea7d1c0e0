#pragma once
// HTTP/1.1 on 127.0.0.1, event-driven: one libmicrohttpd thread waits in epoll and sleeps
// while no request arrives, however many connections stay open, idle or trickling.
// Requests reach the handlers as plain records; limits are enforced before they do.
#include "RequestHeaders.h"

#include <functional>
#include <string>
#include <vector>

struct MHD_Daemon;

struct HttpRequest {
    std::string method;  // HEAD arrives as GET; the engine drops the body of the answer
    std::string target;  // as sent: path and query
    std::string path;    // the target up to "?"
    std::vector<HeaderField> headers;
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::vector<HeaderField> headers;
    std::string contentType;
    std::string body;
    // A body that lives as long as the program (the page's assets), sent without a copy.
    const unsigned char* staticBody = nullptr;
    size_t staticSize = 0;
};

class HttpServer {
public:
    struct Limits {
        size_t maxBodyBytes = 1024 * 1024;
        // A larger body is read and dropped before its 413, up to this; beyond it the
        // connection is answered and closed at once.
        size_t maxDiscardBytes = 16 * 1024 * 1024;
        size_t maxHeaderFields = 64;
        // Request line and header fields of one request must fit in this.
        size_t headerBytes = 16 * 1024;
        unsigned maxConnections = 512;
        // An open connection with no traffic for this long is closed.
        unsigned idleTimeoutSeconds = 10;
    };
    // Sees the request before its body is read (body empty). Returns true when it answered,
    // and the body is then never read.
    using Screen = std::function<bool(const HttpRequest&, HttpResponse&)>;
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;
    // Answers with an error status and a short reason (413, 431).
    using ErrorWriter = std::function<void(HttpResponse&, int status, const std::string& reason)>;

    HttpServer(Limits limits, Screen screen, Handler handler, ErrorWriter errors);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds 127.0.0.1 at port (0 picks a free one) and listens; nothing is served yet.
    bool bind(int port, std::string& error);
    int port() const { return port_; }
    // Serves on the engine's own thread until stop().
    bool start(std::string& error);
    // Closes every connection and returns once no handler runs any more.
    void stop();

private:
    // The library's callbacks, kept out of this header with its types.
    struct Exchange;
    struct Callbacks;
    friend struct Callbacks;

    Limits limits_;
    Screen screen_;
    Handler handler_;
    ErrorWriter errors_;
    int listenFd_ = -1;
    int port_ = 0;
    MHD_Daemon* daemon_ = nullptr;
};
