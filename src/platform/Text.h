#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

bool isValidUTF8(std::string_view bytes);
// Code points of valid UTF-8 text; absent for invalid input.
std::optional<std::u32string> decodeUTF8(std::string_view bytes);
std::string encodeUTF8(std::u32string_view text);

// Unicode letters and numbers (general categories L and N, as the C library's
// UTF-8 character tables classify them).
bool isLetterOrNumber(char32_t codePoint);

// Splits at every line separator: LF, CR, CR LF (one), VT, FF, U+0085, U+2028, U+2029.
// Empty lines are dropped. The input must be valid UTF-8.
std::vector<std::string> splitLines(std::string_view text);

// A C-library white-space byte (space, tab, line feed, vertical tab, form feed, return).
bool isWhiteSpaceByte(char c);

// The whole text as one number the way strtod reads it in the C locale (so "2.5",
// "1e1", "inf"); absent when anything is left over or nothing parses.
std::optional<double> parseCLocaleDouble(const std::string& text);

}  // namespace platform
