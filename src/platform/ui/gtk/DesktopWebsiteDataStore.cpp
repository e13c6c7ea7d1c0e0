#include "platform/ui/gtk/DesktopWebsiteDataStore.h"

#include <libsoup/soup.h>

#include "platform/Dispatch.h"

namespace platform::ui {

namespace {

SoupCookie* soupCookie(const HTTPCookie& cookie) {
    // A max age of -1: a session cookie, gone with the process.
    const int maxAge = cookie.isSessionOnly() || !cookie.expiresDate()
                           ? -1
                           : static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                                  *cookie.expiresDate() - std::chrono::system_clock::now())
                                                  .count());
    SoupCookie* result = soup_cookie_new(cookie.name().c_str(), cookie.value().c_str(), cookie.domain().c_str(),
                                         cookie.path().c_str(), maxAge);
    soup_cookie_set_http_only(result, cookie.isHTTPOnly());
    soup_cookie_set_secure(result, cookie.isSecure());
    const std::string sameSite = cookie.sameSitePolicy().value_or("");
    if (sameSite == "Strict" || sameSite == "strict") {
        soup_cookie_set_same_site_policy(result, SOUP_SAME_SITE_POLICY_STRICT);
    } else if (sameSite == "Lax" || sameSite == "lax") {
        soup_cookie_set_same_site_policy(result, SOUP_SAME_SITE_POLICY_LAX);
    }
    return result;
}

struct PendingCompletion {
    std::function<void()> completion;
};

void finishCookieChange(GObject* source, GAsyncResult* result, gpointer data, bool added) {
    auto* pending = static_cast<PendingCompletion*>(data);
    GError* error = nullptr;
    if (added) {
        webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
    } else {
        webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
    }
    if (error) g_error_free(error);
    if (pending->completion) DispatchQueue::main()->async(std::move(pending->completion));
    delete pending;
}

class DesktopHTTPCookieStore final : public HTTPCookieStore {
public:
    void setManager(WebKitCookieManager* manager) { manager_ = manager; }

    void setCookie(const HTTPCookie& cookie, std::function<void()> completion) override {
        HTTPCookieStore::setCookie(cookie, nullptr);
        SoupCookie* soup = soupCookie(cookie);
        webkit_cookie_manager_add_cookie(
            manager_, soup, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) { finishCookieChange(source, result, data, true); },
            new PendingCompletion{std::move(completion)});
        soup_cookie_free(soup);
    }

    void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) override {
        HTTPCookieStore::deleteCookie(cookie, nullptr);
        SoupCookie* soup = soupCookie(cookie);
        webkit_cookie_manager_delete_cookie(
            manager_, soup, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) { finishCookieChange(source, result, data, false); },
            new PendingCompletion{std::move(completion)});
        soup_cookie_free(soup);
    }

private:
    WebKitCookieManager* manager_ = nullptr;
};

}  // namespace

DesktopWebsiteDataStore::DesktopWebsiteDataStore()
    : WebsiteDataStore(false, std::make_unique<DesktopHTTPCookieStore>()),
      manager_(webkit_website_data_manager_new_ephemeral()),
      context_(webkit_web_context_new_with_website_data_manager(manager_)) {
    // One web process serves every view of this store.
    webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    static_cast<DesktopHTTPCookieStore&>(httpCookieStore())
        .setManager(webkit_website_data_manager_get_cookie_manager(manager_));
}

DesktopWebsiteDataStore::~DesktopWebsiteDataStore() {
    g_object_unref(context_);
    g_object_unref(manager_);
}

}  // namespace platform::ui
