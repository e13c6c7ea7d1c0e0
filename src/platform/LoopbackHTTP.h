#pragma once
#include <http_parser.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/Error.h"
#include "platform/URLSession.h"

namespace platform {

// A plain-http address on this machine: 127.0.0.0/8, ::1 or localhost.
struct LoopbackTarget {
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    std::string key;         // host and port: one pool of connections each
    std::string origin;      // "http://127.0.0.1:8080", for resolving redirects
    std::string hostHeader;  // as curl sends it: the port only when it is not 80
    std::string pathAndQuery;
};

// Absent unless the URL is http:// to a loopback address.
std::optional<LoopbackTarget> loopbackTarget(const std::string& url);

// The request as it goes on the wire, or why it cannot be sent (a method that is not a
// token, a control character in a header or the path).
std::variant<std::string, Error> requestBytes(const URLRequest& request, const LoopbackTarget& target);

// An absolute URL for a Location answered to a request for `target`.
std::string resolvedLocation(const LoopbackTarget& target, const std::string& location);

// Reads one reply as it arrives; interim 1xx replies are passed over.
class ReplyReader {
public:
    enum class State { incomplete, complete, failed };

    explicit ReplyReader(bool headRequest);
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    // Bytes as they came; an empty feed means the peer closed its side.
    State feed(const char* data, size_t size);
    bool receivedAnything() const { return receivedAnything_; }
    // After a complete reply: the connection may carry the next request.
    bool connectionReusable() const { return reusable_; }

    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

private:
    static int onMessageBegin(http_parser* parser);
    static int onHeaderField(http_parser* parser, const char* at, size_t length);
    static int onHeaderValue(http_parser* parser, const char* at, size_t length);
    static int onHeadersComplete(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, size_t length);
    static int onMessageComplete(http_parser* parser);

    http_parser parser_{};
    const bool headRequest_;
    State state_ = State::incomplete;
    bool receivedAnything_ = false;
    bool reusable_ = false;
    bool inValue_ = false;
};

}  // namespace platform
