// URL parsing, as used for the server address, links in the panel and the update feed.
#include "fuzz/FuzzInput.h"
#include "platform/URL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::fields(data, size, 2);
    const auto url = platform::URL::parse(parts[0]);
    if (!url) return 0;
    if (url->port() && (*url->port() < 0 || *url->port() > 65535)) fuzz::fail("port out of range");
    if (url->host().empty()) fuzz::fail("empty host accepted");
    (void)url->absoluteString();
    (void)url->path();
    (void)url->query();
    (void)url->appendingPathComponent(parts[1]);
    return 0;
}
