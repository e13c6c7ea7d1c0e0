#pragma once
// What the server reads from a request's target and header fields, as functions without
// state or I/O: query values, cookies, the Host check and where a request comes from.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct HeaderField {
    std::string name;
    std::string value;
};

class RequestHeaders {
public:
    // All values of one header in arrival order; names compare case-insensitively.
    static std::vector<std::string_view> values(const std::vector<HeaderField>& fields, std::string_view name);

    // The query of a request target: "/p?a=1#f" gives "a=1".
    static std::string_view queryOf(std::string_view target);
    // The first value of name in a query ("a=1&b=2"), percent-decoded with "+" as a space.
    // Absent when the name is missing or its value is not valid percent-encoding.
    static std::optional<std::string> queryValue(std::string_view query, std::string_view name);

    // The value of a cookie in one Cookie header value ("a=1; b=2"); surrounding quotes dropped.
    static std::optional<std::string> cookieValue(std::string_view header, std::string_view name);

    // Exactly one Host header, naming 127.0.0.1 or localhost at this port (the port may be
    // left out only when it is 80).
    static bool hostAllowed(const std::vector<HeaderField>& fields, int port);
    // "http://127.0.0.1:<port>" or "http://localhost:<port>", case-insensitive.
    static bool isOwnOrigin(std::string_view origin, int port);

    // Whether a request that a browser would send with our cookie comes from our own pages.
    // Navigations (a followed or typed link, the app's own load) may open the page and the
    // login route from anywhere; everything else must name our origin in Origin or
    // Sec-Fetch-Site. A request without either is no browser's fetch and may only read.
    static bool fromOwnOrigin(const std::vector<HeaderField>& fields, std::string_view method, bool navigationRoute,
                              int port);
};
