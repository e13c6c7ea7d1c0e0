#pragma once
#include <optional>
#include <string>

#include "platform/URL.h"

namespace platform {

class HTTPCookieStore;

// Without a panel on screen the page is opened in a browser instead: the local
// server's login route turns the token into the same HttpOnly cookie there.
struct BrowserLogin {
    // "[Tidemark] Open the panel in a browser: …" for a loopback route load that carries
    // the token cookie; absent for any other load.
    static std::optional<std::string> line(const URL& url, const HTTPCookieStore& cookies);
};

}  // namespace platform
