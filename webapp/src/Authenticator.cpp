#include "Authenticator.h"

#include "RequestHeaders.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

Authenticator::Authenticator(std::string token, std::string sessionSecret)
    : token_(std::move(token)), session_(std::move(sessionSecret)) {}

bool Authenticator::constantTimeEquals(std::string_view a, std::string_view b) {
    // Walk the longer text in full so a length mismatch costs as much as a content one.
    const size_t length = a.size() > b.size() ? a.size() : b.size();
    volatile unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference = difference | static_cast<unsigned char>(x ^ y);
    }
    return difference == 0;
}

bool Authenticator::acceptsToken(std::string_view candidate) const {
    if (token_.empty()) return false;
    return constantTimeEquals(candidate, token_);
}

bool Authenticator::acceptsAuthorization(std::string_view headerValue) const {
    headerValue = trim(headerValue);
    constexpr std::string_view scheme = "bearer";
    if (headerValue.size() <= scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(headerValue[i])) != scheme[i]) return false;
    }
    if (headerValue[scheme.size()] != ' ') return false;
    return acceptsToken(trim(headerValue.substr(scheme.size() + 1)));
}

bool Authenticator::acceptsPageCookies(const std::vector<std::string_view>& cookieHeaders) const {
    for (std::string_view header : cookieHeaders) {
        if (auto value = RequestHeaders::cookieValue(header, cookieName); value && acceptsToken(*value)) return true;
        if (auto value = RequestHeaders::cookieValue(header, sessionCookieName);
            value && !session_.empty() && constantTimeEquals(*value, session_)) {
            return true;
        }
    }
    return false;
}

std::string Authenticator::randomSecret() {
    unsigned char bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        // Without randomness there is no session: the login link then opens nothing.
        if (n <= 0) return {};
        filled += static_cast<size_t>(n);
    }
    static const char* hex = "0123456789ABCDEF";
    std::string secret;
    for (unsigned char b : bytes) {
        secret += hex[b >> 4];
        secret += hex[b & 15];
    }
    return secret;
}
