#include "Authenticator.h"

#include <cctype>

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

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

std::optional<std::string> Authenticator::cookieValue(std::string_view headerValue, std::string_view name) {
    while (!headerValue.empty()) {
        const size_t end = headerValue.find(';');
        std::string_view pair = trim(headerValue.substr(0, end));
        headerValue = end == std::string_view::npos ? std::string_view() : headerValue.substr(end + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) continue;
        if (trim(pair.substr(0, equals)) != name) continue;
        std::string_view value = trim(pair.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return std::string(value);
    }
    return std::nullopt;
}

bool Authenticator::acceptsCookieHeader(std::string_view headerValue) const {
    auto value = cookieValue(headerValue, cookieName);
    return value && acceptsToken(*value);
}
