#include "platform/LoopbackHTTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "platform/URL.h"
#include "platform/URLSessionShared.h"

namespace platform {

namespace {

bool isToken(std::string_view text) {
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || extra.find(static_cast<char>(c)) != std::string_view::npos;
    });
}

// No byte that could end a line or a field early.
bool isFieldText(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; });
}

bool isRequestTarget(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

using detail::sameHeaderName;

Error requestError(std::string text) { return detail::urlError(URLErrorUnknown, std::move(text)); }

}  // namespace

std::optional<LoopbackTarget> loopbackTarget(const std::string& url) {
    const auto parsed = URL::parse(url);
    if (!parsed || parsed->scheme() != "http") return std::nullopt;
    LoopbackTarget target;
    const int port = parsed->port().value_or(80);
    const std::string& host = parsed->host();
    if (host == "localhost" || host.find_first_not_of("0123456789.") == std::string::npos) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (host == "localhost")
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        else if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127)
            return std::nullopt;
        std::memcpy(&target.address, &address, sizeof address);
        target.addressLength = sizeof address;
    } else if (host == "[::1]") {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        std::memcpy(&target.address, &address, sizeof address);
        target.addressLength = sizeof address;
    } else {
        return std::nullopt;
    }
    target.key = host + ":" + std::to_string(port);
    target.hostHeader = port == 80 ? host : target.key;
    target.origin = "http://" + target.hostHeader;
    target.pathAndQuery = parsed->path() + (parsed->query() ? "?" + *parsed->query() : "");
    return target;
}

std::variant<std::string, Error> requestBytes(const URLRequest& request, const LoopbackTarget& target) {
    if (!isToken(request.httpMethod)) return requestError("The request method is not valid.");
    if (!isRequestTarget(target.pathAndQuery)) return detail::urlError(URLErrorBadURL, "unsupported URL");
    std::string out = request.httpMethod + " " + target.pathAndQuery + " HTTP/1.1\r\n";
    // The length is the body's; a connection header of the caller's would confuse reuse.
    const auto framing = [](const std::string& name) {
        return sameHeaderName(name, "Content-Length") || sameHeaderName(name, "Transfer-Encoding") ||
               sameHeaderName(name, "Connection");
    };
    std::string given;
    bool hostGiven = false, acceptGiven = false;
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || !isFieldText(value)) return requestError("The header “" + name + "” is not valid.");
        if (framing(name)) continue;
        hostGiven = hostGiven || sameHeaderName(name, "Host");
        acceptGiven = acceptGiven || sameHeaderName(name, "Accept");
        given += name + ": " + value + "\r\n";
    }
    if (!hostGiven) out += "Host: " + target.hostHeader + "\r\n";
    if (!acceptGiven) out += "Accept: */*\r\n";
    out += given;
    const bool hasBody = request.httpBody.has_value();
    if (hasBody || request.httpMethod == "POST" || request.httpMethod == "PUT")
        out += "Content-Length: " + std::to_string(hasBody ? request.httpBody->size() : 0) + "\r\n";
    out += "\r\n";
    if (hasBody) out += *request.httpBody;
    return out;
}

std::string resolvedLocation(const LoopbackTarget& target, const std::string& location) {
    if (URL::parse(location)) return location;
    if (location.rfind("//", 0) == 0) return "http:" + location;
    if (!location.empty() && location[0] == '/') return target.origin + location;
    const std::string path = target.pathAndQuery.substr(0, target.pathAndQuery.find('?'));
    if (location.empty() || location[0] == '?') return target.origin + path + location;
    // Relative to the folder of the request's path.
    return target.origin + path.substr(0, path.rfind('/') + 1) + location;
}

ReplyReader::ReplyReader(bool headRequest) : headRequest_(headRequest) {
    http_parser_init(&parser_, HTTP_RESPONSE);
    parser_.data = this;
}

ReplyReader::State ReplyReader::feed(const char* data, size_t size) {
    if (state_ != State::incomplete) {
        // Bytes after the reply: the connection is out of step, never reuse it.
        if (size > 0) reusable_ = false;
        return state_;
    }
    if (size > 0) receivedAnything_ = true;
    static const http_parser_settings settings = [] {
        http_parser_settings s{};
        s.on_message_begin = &ReplyReader::onMessageBegin;
        s.on_header_field = &ReplyReader::onHeaderField;
        s.on_header_value = &ReplyReader::onHeaderValue;
        s.on_headers_complete = &ReplyReader::onHeadersComplete;
        s.on_body = &ReplyReader::onBody;
        s.on_message_complete = &ReplyReader::onMessageComplete;
        return s;
    }();
    const size_t parsed = http_parser_execute(&parser_, &settings, data, size);
    const auto error = HTTP_PARSER_ERRNO(&parser_);
    if (state_ == State::complete) {
        reusable_ = reusable_ && size > 0 && parsed == size;
        return state_;
    }
    if (error != HPE_OK || (size > 0 && parsed != size)) state_ = State::failed;
    // Closed before the reply was whole.
    if (size == 0 && state_ == State::incomplete) state_ = State::failed;
    return state_;
}

int ReplyReader::onMessageBegin(http_parser* parser) {
    auto& self = *static_cast<ReplyReader*>(parser->data);
    self.status = 0;
    self.headers.clear();
    self.body.clear();
    self.inValue_ = false;
    return 0;
}

int ReplyReader::onHeaderField(http_parser* parser, const char* at, size_t length) {
    auto& self = *static_cast<ReplyReader*>(parser->data);
    if (self.inValue_ || self.headers.empty()) self.headers.emplace_back();
    self.inValue_ = false;
    self.headers.back().first.append(at, length);
    return 0;
}

int ReplyReader::onHeaderValue(http_parser* parser, const char* at, size_t length) {
    auto& self = *static_cast<ReplyReader*>(parser->data);
    if (self.headers.empty()) return 1;
    self.inValue_ = true;
    self.headers.back().second.append(at, length);
    return 0;
}

int ReplyReader::onHeadersComplete(http_parser* parser) {
    auto& self = *static_cast<ReplyReader*>(parser->data);
    self.status = parser->status_code;
    // 1 tells the parser that no body follows.
    return self.headRequest_ || self.status < 200 || self.status == 204 || self.status == 304 ? 1 : 0;
}

int ReplyReader::onBody(http_parser* parser, const char* at, size_t length) {
    static_cast<ReplyReader*>(parser->data)->body.append(at, length);
    return 0;
}

int ReplyReader::onMessageComplete(http_parser* parser) {
    auto& self = *static_cast<ReplyReader*>(parser->data);
    if (self.status >= 100 && self.status < 200 && self.status != 101) return 0;  // the real reply follows
    self.state_ = State::complete;
    self.reusable_ = http_should_keep_alive(parser) != 0 && self.status != 101;
    http_parser_pause(parser, 1);
    return 0;
}

}  // namespace platform
