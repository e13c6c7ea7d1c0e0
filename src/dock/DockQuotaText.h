#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Text rules of the Dock quota payload and icon, over UTF-8. Characters are
// user-perceived characters (extended grapheme clusters). Invalid UTF-8 yields nullopt.
namespace DockQuotaText {

// Removes white space and line breaks (Unicode Z* categories, U+0009...U+000D, U+0085)
// from both ends.
std::optional<std::string> trimmed(std::string_view text);
std::optional<size_t> characterCount(std::string_view text);
// The first `count` characters.
std::optional<std::string> prefix(std::string_view text, size_t count);
// The text without its first character.
std::optional<std::string> droppingFirst(std::string_view text);
std::optional<std::string> uppercased(std::string_view text);

// The whole text is 1...maxLength of "a"-"z", "0"-"9", "-". A trailing line break fails.
bool isIdentifier(std::string_view text, size_t maxLength = 64);
// "#" and exactly six hexadecimal digits, either case.
bool isHexColor(std::string_view text);

}  // namespace DockQuotaText
