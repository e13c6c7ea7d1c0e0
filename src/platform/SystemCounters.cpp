#include "platform/SystemCounters.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/Environment.h"

namespace platform {

static_assert(interfaceFlagLoopback == IFF_LOOPBACK);

namespace {

// /proc files report a size of 0, so read until the end rather than by size.
std::optional<std::string> readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            contents.append(buffer, static_cast<size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return contents;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void skipBlanks(std::string_view& text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
}

// A decimal number at the front of text, consumed with the blanks before it.
std::optional<uint64_t> takeNumber(std::string_view& text) {
    skipBlanks(text);
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    if (end != text.data() + text.size() && !isBlank(*end)) return std::nullopt;  // "12x"
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return value;
}

// Calls visit(line) for each line until it returns false.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (!visit(line)) return;
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

std::optional<uint64_t> meminfoBytes(std::string_view rest) {
    auto value = takeNumber(rest);
    if (!value) return std::nullopt;
    skipBlanks(rest);
    if (rest.empty()) return value;
    if (rest != "kB") return std::nullopt;
    if (*value > UINT64_MAX / 1024) return std::nullopt;
    return *value * 1024;
}

}  // namespace

SystemCounterSource SystemCounterSource::live() {
    SystemCounterSource source;
    source.homeDirectory = platform::homeDirectory();
    source.queriesKernelForInterfaceFlags = true;
    return source;
}

std::optional<CPUTimes> parseCPUTimes(std::string_view procStat) {
    std::optional<CPUTimes> result;
    forEachLine(procStat, [&](std::string_view line) {
        if (line.size() < 4 || line.substr(0, 3) != "cpu" || !isBlank(line[3])) return true;
        line.remove_prefix(3);
        uint64_t fields[10] = {};
        size_t count = 0;
        while (count < 10) {
            skipBlanks(line);
            if (line.empty()) break;
            auto value = takeNumber(line);
            if (!value) return false;
            fields[count++] = *value;
        }
        // user, nice, system and idle are there on every kernel.
        if (count < 4) return false;
        result = CPUTimes{fields[0], fields[1], fields[2], fields[3], fields[4],
                          fields[5], fields[6], fields[7], fields[8], fields[9]};
        return false;
    });
    return result;
}

std::optional<MemoryInfo> parseMemoryInfo(std::string_view procMeminfo) {
    std::optional<uint64_t> total, available;
    bool broken = false;
    forEachLine(procMeminfo, [&](std::string_view line) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return true;
        const std::string_view key = line.substr(0, colon);
        std::optional<uint64_t>* target = key == "MemTotal" ? &total : key == "MemAvailable" ? &available : nullptr;
        if (!target) return true;
        *target = meminfoBytes(line.substr(colon + 1));
        if (!*target) broken = true;
        return !broken && !(total && available);
    });
    if (broken || !total || !available) return std::nullopt;
    return MemoryInfo{*total, *available};
}

std::optional<std::vector<InterfaceTraffic>> parseInterfaceTraffic(std::string_view procNetDev) {
    std::vector<InterfaceTraffic> interfaces;
    bool sawHeader = false;
    forEachLine(procNetDev, [&](std::string_view line) {
        if (line.find('|') != std::string_view::npos) {
            sawHeader = true;
            return true;
        }
        // Interface names cannot contain ':' or blanks, so the first colon ends the name.
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return true;
        std::string_view name = line.substr(0, colon);
        skipBlanks(name);
        if (name.empty()) return true;
        std::string_view rest = line.substr(colon + 1);
        uint64_t fields[16];
        for (uint64_t& field : fields) {
            auto value = takeNumber(rest);
            if (!value) return true;  // a cut-off or garbled line: leave the interface out
            field = *value;
        }
        interfaces.push_back({std::string(name), fields[0], fields[8]});
        return true;
    });
    if (!sawHeader) return std::nullopt;
    return interfaces;
}

std::optional<unsigned> parseInterfaceFlags(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || isBlank(text.back()))) text.remove_suffix(1);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || text.empty() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<CPUTimes> readCPUTimes(const SystemCounterSource& source) {
    auto text = readWholeFile(source.procRoot + "/stat");
    if (!text) return std::nullopt;
    return parseCPUTimes(*text);
}

std::optional<MemoryInfo> readMemoryInfo(const SystemCounterSource& source) {
    auto text = readWholeFile(source.procRoot + "/meminfo");
    if (!text) return std::nullopt;
    return parseMemoryInfo(*text);
}

uint64_t readPhysicalMemory(const SystemCounterSource& source) {
    if (source.physicalMemory) return *source.physicalMemory;
    return physicalMemory();
}

std::optional<FileSystemBlocks> readFileSystemBlocks(const SystemCounterSource& source, const std::string& path) {
    if (path.empty()) return std::nullopt;
    if (source.fileSystemBlocks) return source.fileSystemBlocks(path);
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
    return FileSystemBlocks{info.f_blocks, info.f_bfree, info.f_bavail, info.f_frsize ? info.f_frsize : info.f_bsize};
}

std::optional<std::vector<InterfaceTraffic>> readInterfaceTraffic(const SystemCounterSource& source) {
    auto text = readWholeFile(source.procRoot + "/net/dev");
    if (!text) return std::nullopt;
    return parseInterfaceTraffic(*text);
}

namespace {

bool isInterfaceName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

std::optional<unsigned> readInterfaceFlags(const SystemCounterSource& source, const std::string& name) {
    if (!isInterfaceName(name)) return std::nullopt;
    if (auto text = readWholeFile(source.sysRoot + "/class/net/" + name + "/flags")) {
        if (auto flags = parseInterfaceFlags(*text)) return flags;
    }
    if (!source.queriesKernelForInterfaceFlags || name.size() >= IFNAMSIZ) return std::nullopt;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    ifreq request {};
    std::memcpy(request.ifr_name, name.data(), name.size());
    const int result = ::ioctl(fd, SIOCGIFFLAGS, &request);
    ::close(fd);
    if (result != 0) return std::nullopt;
    return static_cast<unsigned>(static_cast<unsigned short>(request.ifr_flags));
}

std::optional<InterfaceTraits> readInterfaceTraits(const SystemCounterSource& source, const std::string& name) {
    if (!isInterfaceName(name)) return std::nullopt;
    // sysfs links each interface to its device's directory; virtual ones live under
    // devices/virtual/net. Reading the link is cheaper than following it, and a device-
    // backed interface is never loopback, so its flags need no read.
    char target[512];
    const std::string link = source.sysRoot + "/class/net/" + name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target &&
        std::string_view(target, static_cast<size_t>(length)).find("/virtual/") == std::string_view::npos) {
        return InterfaceTraits{0, true, false, false, false};
    }
    const auto flags = readInterfaceFlags(source, name);
    if (!flags) return std::nullopt;
    InterfaceTraits traits;
    traits.flags = *flags;
    return traits;
}

void readInterfaceKind(const SystemCounterSource& source, const std::string& name, InterfaceTraits& traits) {
    if (traits.physical || (traits.flags & interfaceFlagLoopback) || !isInterfaceName(name)) return;
    const std::string directory = source.sysRoot + "/class/net/" + name;
    traits.bridge = exists(directory + "/bridge");
    traits.tunTap = !traits.bridge && exists(directory + "/tun_flags");
    if (traits.bridge || traits.tunTap) return;
    // sysfs has no kind for a veth; it is the virtual Ethernet device whose link is
    // another interface (its peer) and that names no device type of its own.
    const auto type = readWholeFile(directory + "/type");
    const auto index = readWholeFile(directory + "/ifindex");
    const auto link = readWholeFile(directory + "/iflink");
    const auto uevent = readWholeFile(directory + "/uevent");
    traits.veth = type && *type == "1\n" && index && link && *index != *link && uevent &&
                  uevent->find("DEVTYPE=") == std::string::npos;
}

}  // namespace platform
