#include "platform/ui/HTTPCookie.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "platform/Dispatch.h"
#include "platform/ui/Backend.h"

namespace platform {

namespace {

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

constexpr double maximumExpirySeconds = 9.0e9;

bool isTrue(const std::optional<std::string>& text) { return text && lowercased(*text) == "true"; }

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// An RFC 7230 token: no separators, no white space, no control characters.
bool isToken(const std::string& text) {
    static const std::string separators = "()<>@,;:\\\"/[]?={} \t";
    if (text.empty()) return false;
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return isControl(c) || separators.find(c) != std::string::npos; });
}

bool isAttributeText(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return isControl(c) || c == ';'; });
}

}  // namespace

std::optional<HTTPCookie> HTTPCookie::make(const Properties& properties) {
    auto property = [&](const char* key) -> std::optional<std::string> {
        auto it = properties.find(key);
        if (it == properties.end()) return std::nullopt;
        return it->second;
    };
    HTTPCookie cookie;
    cookie.properties_ = properties;

    auto name = property(HTTPCookiePropertyKey::name);
    auto value = property(HTTPCookiePropertyKey::value);
    auto path = property(HTTPCookiePropertyKey::path);
    if (!name || !isToken(*name)) return std::nullopt;
    if (!value || !isAttributeText(*value) || value->find(',') != std::string::npos) return std::nullopt;
    if (!path || path->empty() || (*path)[0] != '/' || !isAttributeText(*path)) return std::nullopt;
    cookie.name_ = *name;
    cookie.value_ = *value;
    cookie.path_ = *path;

    if (auto domain = property(HTTPCookiePropertyKey::domain); domain && !domain->empty()) {
        if (!isAttributeText(*domain) || domain->find(' ') != std::string::npos) return std::nullopt;
        cookie.domain_ = lowercased(*domain);
        cookie.hostOnly_ = false;
        if (cookie.domain_[0] == '.') cookie.domain_.erase(0, 1);
        if (cookie.domain_.empty()) return std::nullopt;
    } else if (auto origin = property(HTTPCookiePropertyKey::originURL)) {
        auto url = URL::parse(*origin);
        if (!url || url->host().empty()) return std::nullopt;
        cookie.domain_ = url->host();
    } else {
        return std::nullopt;
    }

    if (auto expires = property(HTTPCookiePropertyKey::expires)) {
        char* end = nullptr;
        double seconds = std::strtod(expires->c_str(), &end);
        if (expires->empty() || end != expires->c_str() + expires->size() || std::isnan(seconds)) return std::nullopt;
        // The clock counts nanoseconds in 64 bits (up to the year 2262): dates beyond
        // either end are held at that end rather than overflowing the conversion.
        seconds = std::clamp(seconds, -maximumExpirySeconds, maximumExpirySeconds);
        cookie.expiresDate_ = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
    }
    cookie.isSessionOnly_ = isTrue(property(HTTPCookiePropertyKey::discard)) || !cookie.expiresDate_;
    cookie.isSecure_ = isTrue(property(HTTPCookiePropertyKey::secure));
    cookie.isHTTPOnly_ = isTrue(property(HTTPCookiePropertyKey::httpOnly));
    if (auto sameSite = property(HTTPCookiePropertyKey::sameSite)) {
        const std::string policy = lowercased(*sameSite);
        if (policy != "strict" && policy != "lax" && policy != "none") return std::nullopt;
        cookie.sameSitePolicy_ = *sameSite;
    }
    return cookie;
}

bool HTTPCookie::matches(const URL& url, TimePoint now) const {
    if (url.scheme() != "http" && url.scheme() != "https") return false;
    if (isSecure_ && url.scheme() != "https") return false;
    if (expiresDate_ && now >= *expiresDate_) return false;
    const std::string& host = url.host();
    if (hostOnly_) {
        if (host != domain_) return false;
    } else if (host != domain_ &&
               !(host.size() > domain_.size() && host.ends_with(domain_) && host[host.size() - domain_.size() - 1] == '.')) {
        return false;
    }
    const std::string& requestPath = url.path();
    if (requestPath == path_) return true;
    if (!requestPath.starts_with(path_)) return false;
    return path_.back() == '/' || requestPath[path_.size()] == '/';
}

bool HTTPCookie::isSameCookie(const HTTPCookie& other) const {
    return name_ == other.name_ && domain_ == other.domain_ && path_ == other.path_;
}

void HTTPCookieStore::setCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](const HTTPCookie& c) { return c.isSameCookie(cookie); }),
                   cookies_.end());
    const bool expired = cookie.expiresDate() && *cookie.expiresDate() <= std::chrono::system_clock::now();
    if (!expired) cookies_.push_back(cookie);
    if (completion) DispatchQueue::main()->async(std::move(completion));
}

void HTTPCookieStore::deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    cookies_.erase(std::remove_if(cookies_.begin(), cookies_.end(),
                                  [&](const HTTPCookie& c) { return c.isSameCookie(cookie); }),
                   cookies_.end());
    if (completion) DispatchQueue::main()->async(std::move(completion));
}

void HTTPCookieStore::getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const {
    if (!completion) return;
    DispatchQueue::main()->async([completion = std::move(completion), copy = cookies_] { completion(copy); });
}

std::vector<HTTPCookie> HTTPCookieStore::cookiesForURL(const URL& url) const {
    std::vector<HTTPCookie> result;
    const auto now = std::chrono::system_clock::now();
    for (const auto& cookie : cookies_)
        if (cookie.matches(url, now)) result.push_back(cookie);
    // Longer paths first, as browsers send them.
    std::stable_sort(result.begin(), result.end(),
                     [](const HTTPCookie& a, const HTTPCookie& b) { return a.path().size() > b.path().size(); });
    return result;
}

std::optional<std::string> HTTPCookieStore::cookieHeaderForURL(const URL& url) const {
    std::string header;
    for (const auto& cookie : cookiesForURL(url)) {
        if (!header.empty()) header += "; ";
        header += cookie.name() + "=" + cookie.value();
    }
    if (header.empty()) return std::nullopt;
    return header;
}

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::defaultDataStore() {
    static auto store = std::make_shared<WebsiteDataStore>(true);
    return store;
}

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::nonPersistent() {
    return ui::Backend::current().makeNonPersistentDataStore();
}

}  // namespace platform
