#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Where the kernel counters are read from. The live source is the running system; tests
// point the roots at fixture directories laid out like /proc and /sys.
struct SystemCounterSource {
    std::string procRoot = "/proc";
    std::string sysRoot = "/sys";
    // The file system holding this directory is the one whose space is reported.
    std::string homeDirectory;
    // Absent: the installed physical memory of this machine.
    std::optional<uint64_t> physicalMemory;
    // When an interface's flags are not in sysfs, ask the kernel by name. Only sound for
    // the live system: a fixture's interface names mean nothing to the kernel.
    bool queriesKernelForInterfaceFlags = false;

    static SystemCounterSource live();
};

// Cumulative ticks of the aggregate "cpu" line of /proc/stat. Fields a kernel does not
// report (older kernels have fewer columns) are 0.
struct CPUTimes {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0, guest = 0,
             guestNice = 0;
};

// MemTotal and MemAvailable of /proc/meminfo, in bytes.
struct MemoryInfo {
    uint64_t total = 0;
    uint64_t available = 0;
};

// statvfs figures in bytes: blocks × fragment size, blocks available to unprivileged users × fragment size.
struct FileSystemSpace {
    uint64_t total = 0;
    uint64_t available = 0;
};

// One interface of /proc/net/dev with its 64-bit byte counters.
struct InterfaceTraffic {
    std::string name;
    uint64_t received = 0;
    uint64_t transmitted = 0;
};

inline constexpr unsigned interfaceFlagLoopback = 0x8;  // IFF_LOOPBACK

// Parsers of the kernel's text; absent when the text is not what the kernel writes.
std::optional<CPUTimes> parseCPUTimes(std::string_view procStat);
std::optional<MemoryInfo> parseMemoryInfo(std::string_view procMeminfo);
// Lines that do not parse are left out; absent when the header is missing.
std::optional<std::vector<InterfaceTraffic>> parseInterfaceTraffic(std::string_view procNetDev);
// The text of /sys/class/net/<name>/flags ("0x1003").
std::optional<unsigned> parseInterfaceFlags(std::string_view text);

// Readers of the source; absent when the file cannot be read or does not parse.
std::optional<CPUTimes> readCPUTimes(const SystemCounterSource& source);
std::optional<MemoryInfo> readMemoryInfo(const SystemCounterSource& source);
uint64_t readPhysicalMemory(const SystemCounterSource& source);
std::optional<FileSystemSpace> readFileSystemSpace(const std::string& path);
std::optional<std::vector<InterfaceTraffic>> readInterfaceTraffic(const SystemCounterSource& source);
// Absent when neither sysfs nor (for the live source) the kernel knows the interface.
std::optional<unsigned> readInterfaceFlags(const SystemCounterSource& source, const std::string& name);

}  // namespace platform
