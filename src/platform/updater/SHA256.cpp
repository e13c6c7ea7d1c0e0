#include "platform/updater/SHA256.h"

#include <glib.h>

#include <array>
#include <fstream>
#include <memory>

namespace platform {
namespace {

// GLib's checksums: the process maps GLib anyway, while OpenSSL's libcrypto would add
// about 3 MiB of resident relocations to every run for a digest taken once per update.
using Checksum = std::unique_ptr<GChecksum, decltype(&g_checksum_free)>;

Checksum newChecksum() { return Checksum(g_checksum_new(G_CHECKSUM_SHA256), &g_checksum_free); }

}  // namespace

std::string sha256HexDigest(std::string_view bytes) {
    auto checksum = newChecksum();
    g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(bytes.data()), static_cast<gssize>(bytes.size()));
    return g_checksum_get_string(checksum.get());
}

std::optional<std::string> sha256HexDigestOfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    auto checksum = newChecksum();
    std::array<char, 64 * 1024> buffer;
    while (file) {
        file.read(buffer.data(), buffer.size());
        if (file.gcount() > 0)
            g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(buffer.data()), file.gcount());
    }
    if (file.bad()) return std::nullopt;
    return g_checksum_get_string(checksum.get());
}

}  // namespace platform
