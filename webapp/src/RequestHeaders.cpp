#include "RequestHeaders.h"

#include <charconv>

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hexDigit(text[i + 1]);
            const int low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "host" or "host:port" against our two names and the port.
bool namesUs(std::string_view authority, int port) {
    std::string_view host = authority;
    std::optional<int> given;
    if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        const std::string_view digits = authority.substr(colon + 1);
        int value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || digits.front() == '+' || ec != std::errc() || end != digits.data() + digits.size()) {
            return false;
        }
        given = value;
    }
    if (!equalsIgnoringCase(host, "127.0.0.1") && !equalsIgnoringCase(host, "localhost")) return false;
    return given ? *given == port : port == 80;
}

}  // namespace

std::vector<std::string_view> RequestHeaders::values(const std::vector<HeaderField>& fields, std::string_view name) {
    std::vector<std::string_view> result;
    for (const HeaderField& field : fields) {
        if (equalsIgnoringCase(field.name, name)) result.emplace_back(field.value);
    }
    return result;
}

std::string_view RequestHeaders::queryOf(std::string_view target) {
    const size_t question = target.find('?');
    if (question == std::string_view::npos) return {};
    std::string_view query = target.substr(question + 1);
    if (const size_t hash = query.find('#'); hash != std::string_view::npos) query = query.substr(0, hash);
    return query;
}

std::optional<std::string> RequestHeaders::queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const size_t equals = pair.find('=');
        const auto key = percentDecoded(pair.substr(0, equals));
        if (!key || *key != name) continue;
        if (equals == std::string_view::npos) return std::string();
        return percentDecoded(pair.substr(equals + 1));
    }
    return std::nullopt;
}

std::optional<std::string> RequestHeaders::cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t end = header.find(';');
        const std::string_view pair = trim(header.substr(0, end));
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) continue;
        if (trim(pair.substr(0, equals)) != name) continue;
        std::string_view value = trim(pair.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

bool RequestHeaders::hostAllowed(const std::vector<HeaderField>& fields, int port) {
    const auto hosts = values(fields, "Host");
    return hosts.size() == 1 && namesUs(trim(hosts.front()), port);
}

bool RequestHeaders::isOwnOrigin(std::string_view origin, int port) {
    constexpr std::string_view scheme = "http://";
    origin = trim(origin);
    if (origin.size() <= scheme.size() || !equalsIgnoringCase(origin.substr(0, scheme.size()), scheme)) return false;
    return namesUs(origin.substr(scheme.size()), port);
}

bool RequestHeaders::fromOwnOrigin(const std::vector<HeaderField>& fields, std::string_view method,
                                   bool navigationRoute, int port) {
    const auto origins = values(fields, "Origin");
    const auto sites = values(fields, "Sec-Fetch-Site");
    const auto modes = values(fields, "Sec-Fetch-Mode");
    if (origins.size() > 1 || sites.size() > 1 || modes.size() > 1) return false;
    const bool reads = method == "GET" || method == "HEAD";
    if (!origins.empty() && !isOwnOrigin(origins.front(), port)) return false;
    if (!sites.empty()) {
        const std::string_view site = trim(sites.front());
        if (equalsIgnoringCase(site, "same-origin")) return true;
        // Typed, bookmarked or opened by an application: no page asked for it.
        if (equalsIgnoringCase(site, "none")) return reads;
        return reads && navigationRoute && !modes.empty() && equalsIgnoringCase(trim(modes.front()), "navigate");
    }
    // Browsers name the origin of every request that may change something.
    return !origins.empty() || reads;
}
