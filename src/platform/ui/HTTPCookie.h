#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/URL.h"

namespace platform {

// Keys of the properties a cookie is built from.
namespace HTTPCookiePropertyKey {
inline constexpr const char* originURL = "OriginURL";
inline constexpr const char* domain = "Domain";
inline constexpr const char* path = "Path";
inline constexpr const char* name = "Name";
inline constexpr const char* value = "Value";
inline constexpr const char* discard = "Discard";
inline constexpr const char* secure = "Secure";
inline constexpr const char* expires = "Expires";  // seconds since the Unix epoch
inline constexpr const char* httpOnly = "HttpOnly";
inline constexpr const char* sameSite = "SameSite";
}  // namespace HTTPCookiePropertyKey

class HTTPCookie {
public:
    using Properties = std::map<std::string, std::string>;
    using TimePoint = std::chrono::system_clock::time_point;

    // Absent when a required property (name, value, path, and a domain or an origin URL
    // with a host) is missing or any property is malformed.
    static std::optional<HTTPCookie> make(const Properties& properties);

    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    const std::string& domain() const { return domain_; }
    const std::string& path() const { return path_; }
    // Dropped when the process ends.
    bool isSessionOnly() const { return isSessionOnly_; }
    bool isSecure() const { return isSecure_; }
    bool isHTTPOnly() const { return isHTTPOnly_; }
    const std::optional<std::string>& sameSitePolicy() const { return sameSitePolicy_; }
    const std::optional<TimePoint>& expiresDate() const { return expiresDate_; }
    const Properties& properties() const { return properties_; }

    // Whether a request to the URL carries this cookie (domain, path, secure, expiry).
    bool matches(const URL& url, TimePoint now = std::chrono::system_clock::now()) const;
    bool isSameCookie(const HTTPCookie& other) const;

private:
    HTTPCookie() = default;
    std::string name_, value_, domain_, path_;
    bool hostOnly_ = true;
    bool isSessionOnly_ = true;
    bool isSecure_ = false;
    bool isHTTPOnly_ = false;
    std::optional<std::string> sameSitePolicy_;
    std::optional<TimePoint> expiresDate_;
    Properties properties_;
};

// A web view's cookie jar (main thread only). Completions run later on the main queue.
// It keeps every cookie in memory; a backend whose engine has its own jar also hands
// each change to it.
class HTTPCookieStore {
public:
    virtual ~HTTPCookieStore() = default;
    // Replaces a cookie of the same name, domain and path.
    virtual void setCookie(const HTTPCookie& cookie, std::function<void()> completion = nullptr);
    virtual void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion = nullptr);
    void getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const;

    // What the loader reads: every cookie now, and those a request to the URL carries.
    const std::vector<HTTPCookie>& cookies() const { return cookies_; }
    std::vector<HTTPCookie> cookiesForURL(const URL& url) const;
    // The request header value ("a=1; b=2"), absent when no cookie matches.
    std::optional<std::string> cookieHeaderForURL(const URL& url) const;

private:
    std::vector<HTTPCookie> cookies_;
};

// Where a web view keeps cookies and storage. The headless backend keeps even the
// default store in memory only.
class WebsiteDataStore {
public:
    static std::shared_ptr<WebsiteDataStore> defaultDataStore();
    // A fresh store that lives only as long as the process (made by the UI backend).
    static std::shared_ptr<WebsiteDataStore> nonPersistent();

    bool isPersistent() const { return isPersistent_; }
    HTTPCookieStore& httpCookieStore() { return *cookieStore_; }

    explicit WebsiteDataStore(bool persistent,
                              std::unique_ptr<HTTPCookieStore> cookieStore = std::make_unique<HTTPCookieStore>())
        : isPersistent_(persistent), cookieStore_(std::move(cookieStore)) {}
    virtual ~WebsiteDataStore() = default;

private:
    bool isPersistent_;
    std::unique_ptr<HTTPCookieStore> cookieStore_;
};

}  // namespace platform
