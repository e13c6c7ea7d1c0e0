// Cookie building (the properties the web view's cookie is made from, expiry included)
// and both ends of the Cookie header: the store's header for a URL and the server's
// reading of it.
#include "Authenticator.h"
#include "fuzz/FuzzInput.h"
#include "platform/ui/HTTPCookie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace key = platform::HTTPCookiePropertyKey;
    const auto parts = fuzz::fields(data, size, 9);
    platform::HTTPCookie::Properties properties;
    const char* keys[] = {key::originURL, key::name, key::value, key::path, key::expires, key::sameSite, key::domain};
    for (size_t i = 0; i < 7; ++i)
        if (!parts[i].empty() || i == 2) properties[keys[i]] = parts[i];
    properties[key::httpOnly] = "TRUE";
    if (auto cookie = platform::HTTPCookie::make(properties)) {
        platform::HTTPCookieStore store;
        store.setCookie(*cookie);
        if (auto url = platform::URL::parse(parts[7])) {
            (void)cookie->matches(*url, std::chrono::system_clock::now());
            if (auto header = store.cookieHeaderForURL(*url)) {
                const Authenticator authenticator(cookie->value(), "S");
                (void)authenticator.acceptsPageCookies({*header});
            }
        }
    }
    // The server side reads whatever a client sends.
    const Authenticator authenticator(parts[2], parts[1]);
    (void)authenticator.acceptsPageCookies({parts[8], parts[7]});
    (void)authenticator.acceptsAuthorization(parts[8]);
    return 0;
}
