#include "platform/Text.h"

#include <locale.h>
#include <stdlib.h>
#include <wctype.h>

namespace platform {
namespace {

// Returns the code point and advances, or absent at invalid input.
std::optional<char32_t> nextCodePoint(std::string_view bytes, size_t& index) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(index);
    int length;
    char32_t value;
    if (lead < 0x80) {
        ++index;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (index + length > bytes.size()) return std::nullopt;
    for (int i = 1; i < length; ++i) {
        const unsigned char next = byte(index + i);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are invalid.
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < minimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    index += length;
    return value;
}

}  // namespace

std::optional<std::u32string> decodeUTF8(std::string_view bytes) {
    std::u32string result;
    result.reserve(bytes.size());
    size_t index = 0;
    while (index < bytes.size()) {
        const auto codePoint = nextCodePoint(bytes, index);
        if (!codePoint) return std::nullopt;
        result.push_back(*codePoint);
    }
    return result;
}

bool isValidUTF8(std::string_view bytes) {
    size_t index = 0;
    while (index < bytes.size())
        if (!nextCodePoint(bytes, index)) return false;
    return true;
}

std::string encodeUTF8(std::u32string_view text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool isLetterOrNumber(char32_t codePoint) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (codePoint < 0x80 || !utf8) {
        return (codePoint >= '0' && codePoint <= '9') || (codePoint >= 'a' && codePoint <= 'z') ||
               (codePoint >= 'A' && codePoint <= 'Z');
    }
    return iswalnum_l(static_cast<wint_t>(codePoint), utf8) != 0;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    const auto flush = [&] {
        if (!current.empty()) lines.push_back(std::move(current));
        current.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            flush();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            flush();
            ++i;
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            flush();
            i += 2;
        } else {
            current += static_cast<char>(c);
        }
    }
    flush();
    return lines;
}

bool isWhiteSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<double> parseCLocaleDouble(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (text.empty() || !cLocale) return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    const double parsed = strtod_l(begin, &end, cLocale);
    if (end == begin || end != begin + text.size()) return std::nullopt;
    return parsed;
}

}  // namespace platform
