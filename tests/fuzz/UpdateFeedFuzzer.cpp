// The update feed as a server (or anyone in its path) might send it.
#include "fuzz/FuzzInput.h"
#include "platform/URL.h"
#include "platform/updater/UpdateFeedItem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parsed = platform::UpdateFeedItem::parse(fuzz::text(data, size));
    if (const auto* item = std::get_if<platform::UpdateFeedItem>(&parsed)) {
        if (item->sha256.size() != 64) fuzz::fail("a digest that is not 64 hex digits");
        // Schemes are case-insensitive: "HTTPS://" is as good as "https://".
        const auto url = platform::URL::parse(item->url);
        if (!url || (url->scheme() != "http" && url->scheme() != "https")) fuzz::fail("an archive address that is not http(s)");
        (void)item->dottedVersion();
    }
    return 0;
}
