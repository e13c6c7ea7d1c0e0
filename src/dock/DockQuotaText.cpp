#include "dock/DockQuotaText.h"

#include <utf8proc.h>

#include <vector>

namespace DockQuotaText {

namespace {

struct CodePoint {
    utf8proc_int32_t value;
    size_t offset;
    size_t length;
};

std::optional<std::vector<CodePoint>> decode(std::string_view text) {
    std::vector<CodePoint> out;
    size_t offset = 0;
    while (offset < text.size()) {
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                                  static_cast<utf8proc_ssize_t>(text.size() - offset), &cp);
        if (n <= 0) return std::nullopt;
        out.push_back({cp, offset, static_cast<size_t>(n)});
        offset += static_cast<size_t>(n);
    }
    return out;
}

bool isWhiteSpaceOrLineBreak(utf8proc_int32_t cp) {
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
    auto category = utf8proc_category(cp);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP;
}

// Byte offsets where each character starts, plus the end.
std::optional<std::vector<size_t>> characterBoundaries(std::string_view text) {
    auto points = decode(text);
    if (!points) return std::nullopt;
    std::vector<size_t> bounds;
    utf8proc_int32_t state = 0;
    for (size_t i = 0; i < points->size(); ++i) {
        if (i == 0 || utf8proc_grapheme_break_stateful((*points)[i - 1].value, (*points)[i].value, &state))
            bounds.push_back((*points)[i].offset);
    }
    bounds.push_back(text.size());
    return bounds;
}

}  // namespace

std::optional<std::string> trimmed(std::string_view text) {
    auto points = decode(text);
    if (!points) return std::nullopt;
    size_t first = 0, last = points->size();
    while (first < last && isWhiteSpaceOrLineBreak((*points)[first].value)) ++first;
    while (last > first && isWhiteSpaceOrLineBreak((*points)[last - 1].value)) --last;
    if (first == last) return std::string();
    size_t begin = (*points)[first].offset;
    size_t end = (*points)[last - 1].offset + (*points)[last - 1].length;
    return std::string(text.substr(begin, end - begin));
}

std::optional<size_t> characterCount(std::string_view text) {
    auto bounds = characterBoundaries(text);
    if (!bounds) return std::nullopt;
    return bounds->size() - 1;
}

std::optional<std::string> prefix(std::string_view text, size_t count) {
    auto bounds = characterBoundaries(text);
    if (!bounds) return std::nullopt;
    if (count >= bounds->size() - 1) return std::string(text);
    return std::string(text.substr(0, (*bounds)[count]));
}

std::optional<std::string> droppingFirst(std::string_view text) {
    auto bounds = characterBoundaries(text);
    if (!bounds) return std::nullopt;
    if (bounds->size() < 2) return std::string();
    return std::string(text.substr((*bounds)[1]));
}

std::optional<std::string> uppercased(std::string_view text) {
    auto points = decode(text);
    if (!points) return std::nullopt;
    std::string out;
    out.reserve(text.size());
    for (const CodePoint& p : *points) {
        utf8proc_uint8_t buffer[4];
        auto n = utf8proc_encode_char(utf8proc_toupper(p.value), buffer);
        out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return out;
}

bool isIdentifier(std::string_view text, size_t maxLength) {
    if (text.empty() || text.size() > maxLength) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool isHexColor(std::string_view text) {
    if (text.size() != 7 || text[0] != '#') return false;
    for (char c : text.substr(1)) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!ok) return false;
    }
    return true;
}

}  // namespace DockQuotaText
