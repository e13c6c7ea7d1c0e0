#pragma once
// Checks the bearer token of the ingest requests and the cookie of the page's requests.
#include <optional>
#include <string>
#include <string_view>

class Authenticator {
public:
    static constexpr std::string_view cookieName = "tidemark_token";

    explicit Authenticator(std::string token) : token_(std::move(token)) {}

    // An empty token never authenticates anything.
    bool acceptsToken(std::string_view candidate) const;
    // "Authorization" header value: "Bearer <token>" (scheme case-insensitive).
    bool acceptsAuthorization(std::string_view headerValue) const;
    // "Cookie" header value holding tidemark_token=<token>.
    bool acceptsCookieHeader(std::string_view headerValue) const;

    // Time depends only on the lengths, never on where the texts differ.
    static bool constantTimeEquals(std::string_view a, std::string_view b);
    static std::optional<std::string> cookieValue(std::string_view headerValue, std::string_view name);

private:
    std::string token_;
};
