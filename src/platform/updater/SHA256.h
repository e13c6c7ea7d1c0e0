#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The SHA-256 digest of the bytes as 64 lower-case hexadecimal characters.
std::string sha256HexDigest(std::string_view bytes);

// The digest of a file's contents; absent when it cannot be read.
std::optional<std::string> sha256HexDigestOfFile(const std::string& path);

}  // namespace platform
