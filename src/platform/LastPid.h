#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The last pid the system handed out: the last field of <procRoot>/loadavg, as in
// "0.00 0.01 0.05 1/302 26034". Absent when unreadable. Inline, as the network tool (a
// program of its own, linked with nothing of this library) reads it too.
inline std::optional<int32_t> readLastPid(const std::string& procRoot) {
    const int fd = ::open((procRoot + "/loadavg").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[128];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    std::string_view text(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    const size_t space = text.rfind(' ');
    // The field before it is "running/total".
    if (space == std::string_view::npos || text.substr(0, space).find('/') == std::string_view::npos) return std::nullopt;
    int32_t pid = 0;
    const auto [last, error] = std::from_chars(text.data() + space + 1, text.data() + text.size(), pid);
    if (error != std::errc() || last != text.data() + text.size() || pid < 1) return std::nullopt;
    return pid;
}

}  // namespace platform
