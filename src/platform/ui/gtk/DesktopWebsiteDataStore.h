#pragma once
#include <webkit2/webkit2.h>

#include "platform/ui/HTTPCookie.h"

namespace platform::ui {

// An ephemeral WebKit data manager (nothing on disk) and the web context built on it.
// Cookies set here go to WebKit's cookie manager; the in-memory list is kept too.
class DesktopWebsiteDataStore final : public WebsiteDataStore {
public:
    DesktopWebsiteDataStore();
    ~DesktopWebsiteDataStore() override;

    WebKitWebContext* context() const { return context_; }

private:
    WebKitWebsiteDataManager* manager_;
    WebKitWebContext* context_;
};

}  // namespace platform::ui
