#include "platform/ui/BrowserLogin.h"

#include "platform/ui/HTTPCookie.h"

namespace platform {

namespace {

constexpr const char* browserLoginCookieName = "tidemark_token";
constexpr const char* browserLoginPath = "/login?token=";

}  // namespace

std::optional<std::string> BrowserLogin::line(const URL& url, const HTTPCookieStore& cookies) {
    if (url.scheme() != "http" || url.host() != "127.0.0.1") return std::nullopt;
    for (const auto& cookie : cookies.cookiesForURL(url)) {
        if (cookie.name() != browserLoginCookieName) continue;
        std::string origin = "http://127.0.0.1";
        // Appended in two steps: GCC 12 at -O3 takes ":" + std::string for an overlapping
        // copy (bogus -Wrestrict, GCC bug 105651).
        if (url.port()) {
            origin += ':';
            origin += std::to_string(*url.port());
        }
        return "[Tidemark] Open the panel in a browser: " + origin + browserLoginPath + percentEncoded(cookie.value());
    }
    return std::nullopt;
}

}  // namespace platform
