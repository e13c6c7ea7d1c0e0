#include "platform/updater/DottedVersion.h"

#include <algorithm>
#include <charconv>

namespace platform {

std::optional<DottedVersion> DottedVersion::parse(const std::string& text) {
    DottedVersion version;
    const char* cursor = text.data();
    const char* const end = text.data() + text.size();
    while (true) {
        // from_chars alone would accept no sign but we still insist on a digit first.
        if (cursor == end || *cursor < '0' || *cursor > '9') return std::nullopt;
        unsigned long long number = 0;
        const auto [next, error] = std::from_chars(cursor, end, number);
        if (error != std::errc()) return std::nullopt;
        version.components_.push_back(number);
        cursor = next;
        if (cursor == end) break;
        if (*cursor != '.') return std::nullopt;
        ++cursor;
    }
    return version;
}

std::strong_ordering DottedVersion::operator<=>(const DottedVersion& other) const {
    const size_t count = std::max(components_.size(), other.components_.size());
    for (size_t i = 0; i < count; ++i) {
        const unsigned long long mine = i < components_.size() ? components_[i] : 0;
        const unsigned long long theirs = i < other.components_.size() ? other.components_[i] : 0;
        if (mine != theirs) return mine <=> theirs;
    }
    return std::strong_ordering::equal;
}

}  // namespace platform
