#include "platform/URL.h"

#include <algorithm>
#include <cctype>

namespace platform {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Up to five digits within 0-65535.
bool parsePort(const std::string& digits, std::optional<int>& port) {
    if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const int value = std::stoi(digits);
    if (value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

std::optional<URL> URL::parse(const std::string& text) {
    const auto schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0) return std::nullopt;
    URL url;
    url.text_ = text;
    url.scheme_ = lower(text.substr(0, schemeEnd));
    if (!std::all_of(url.scheme_.begin(), url.scheme_.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }))
        return std::nullopt;
    const size_t authorityStart = schemeEnd + 3;
    const size_t authorityEnd = text.find_first_of("/?#", authorityStart);
    std::string authority = text.substr(authorityStart, authorityEnd == std::string::npos ? std::string::npos
                                                                                          : authorityEnd - authorityStart);
    if (const auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
    std::string host = authority;
    if (!authority.empty() && authority[0] == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return std::nullopt;
            authority = authority.substr(close + 1);
        } else {
            authority.clear();
        }
        if (!authority.empty()) {
            const std::string digits = authority.substr(1);
            if (digits.empty() || !parsePort(digits, url.port_)) return std::nullopt;
        }
    } else if (const auto colon = authority.rfind(':'); colon != std::string::npos) {
        host = authority.substr(0, colon);
        const std::string digits = authority.substr(colon + 1);
        if (!digits.empty()) {
            if (!parsePort(digits, url.port_)) return std::nullopt;
        }
    }
    if (host.empty()) return std::nullopt;
    url.host_ = lower(host);
    // A root path is built, not assigned from a literal: GCC 12 at -O3 reports a bogus
    // -Wrestrict for std::string::operator=(const char*) (GCC bug 105329).
    if (authorityEnd == std::string::npos) {
        url.path_ = std::string(1, '/');
        return url;
    }
    const std::string rest = text.substr(authorityEnd);
    const auto fragment = rest.find('#');
    const std::string beforeFragment = rest.substr(0, fragment);
    const auto question = beforeFragment.find('?');
    url.path_ = beforeFragment.substr(0, question);
    if (url.path_.empty()) url.path_ = std::string(1, '/');
    if (question != std::string::npos) url.query_ = beforeFragment.substr(question + 1);
    return url;
}

URL URL::appendingPathComponent(const std::string& component) const {
    std::string base = text_.substr(0, text_.find_first_of("?#", text_.find("://") + 3));
    if (base.empty() || base.back() != '/') base += '/';
    std::string tail = component;
    while (!tail.empty() && tail.front() == '/') tail.erase(tail.begin());
    return *parse(base + tail);
}

std::string percentEncoded(const std::string& text, const std::string& alsoAllowed) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
            alsoAllowed.find(static_cast<char>(c)) != std::string::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace platform
