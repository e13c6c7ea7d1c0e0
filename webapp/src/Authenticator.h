#pragma once
// Checks the bearer token of the ingest requests and the cookies of the page's requests.
// The app's own web view carries the token in "tidemark_token"; a browser that came
// through the login link carries "tidemark_session", a secret of this server run that
// opens the page and nothing else, so a leaked browser cookie never lets anyone ingest.
#include <string>
#include <string_view>
#include <vector>

class Authenticator {
public:
    static constexpr std::string_view cookieName = "tidemark_token";
    static constexpr std::string_view sessionCookieName = "tidemark_session";

    // An empty token never authenticates anything.
    explicit Authenticator(std::string token, std::string sessionSecret = randomSecret());

    bool acceptsToken(std::string_view candidate) const;
    // "Authorization" header value: "Bearer <token>" (scheme case-insensitive).
    bool acceptsAuthorization(std::string_view headerValue) const;
    // The Cookie header values of one request: any one holding the token or the session.
    bool acceptsPageCookies(const std::vector<std::string_view>& cookieHeaders) const;
    const std::string& sessionSecret() const { return session_; }

    // Time depends only on the lengths, never on where the texts differ.
    static bool constantTimeEquals(std::string_view a, std::string_view b);
    // 32 upper-case hexadecimal digits from the kernel's random source.
    static std::string randomSecret();

private:
    std::string token_;
    std::string session_;
};
