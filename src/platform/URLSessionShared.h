#pragma once
// What every URL session engine shares: header lookup the way HTTP compares names, and
// the errors a task completes with.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/URLSession.h"

namespace platform::detail {

inline char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool sameHeaderName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

inline std::optional<std::string> headerValue(const std::vector<std::pair<std::string, std::string>>& headers,
                                              const std::string& name) {
    std::optional<std::string> result;
    for (const auto& [key, value] : headers) {
        if (!sameHeaderName(key, name)) continue;
        // Repeated fields read as one, joined the way HTTP allows.
        result = result ? *result + ", " + value : value;
    }
    return result;
}

// Without the blanks around a header's name or value, and the line end.
inline std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

inline Error urlError(long code, std::string text) { return Error{URLErrorDomain, code, std::move(text)}; }
inline Error cancelledError() { return urlError(URLErrorCancelled, "cancelled"); }

}  // namespace platform::detail
