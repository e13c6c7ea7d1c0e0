#pragma once
#include <string>
#include <variant>

#include "platform/Error.h"
#include "platform/updater/DottedVersion.h"

namespace platform {

// The one entry of an update feed: a JSON object with "version", "displayVersion",
// "url" (a .tar.gz of the install folder) and "sha256" (its digest in hexadecimal).
struct UpdateFeedItem {
    std::string version;
    std::string displayVersion;
    std::string url;
    std::string sha256;  // lower case

    DottedVersion dottedVersion() const { return *DottedVersion::parse(version); }

    // Fails with a readable reason when the text is not such an object: not JSON, a
    // missing or non-string field, a version that is not dotted numbers, an archive
    // address that is not http or https, a digest that is not 64 hex digits. A missing
    // "displayVersion" falls back to "version".
    static std::variant<UpdateFeedItem, Error> parse(const std::string& text);
};

}  // namespace platform
