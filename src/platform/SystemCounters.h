#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// statvfs figures of one file system, in blocks of fragmentSize bytes.
struct FileSystemBlocks {
    uint64_t blocks = 0;           // f_blocks
    uint64_t freeBlocks = 0;       // f_bfree: free, including the blocks reserved for root
    uint64_t availableBlocks = 0;  // f_bavail: free for an ordinary user
    uint64_t fragmentSize = 0;     // f_frsize
};

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
    // Absent: statvfs(2).
    std::function<std::optional<FileSystemBlocks>(const std::string& path)> fileSystemBlocks;

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

// One interface of /proc/net/dev with its 64-bit byte counters.
struct InterfaceTraffic {
    std::string name;
    uint64_t received = 0;
    uint64_t transmitted = 0;
};

// What sysfs tells of an interface, enough to count each byte once.
struct InterfaceTraits {
    unsigned flags = 0;     // read for virtual interfaces only: a physical one is never loopback
    bool physical = false;  // backed by a device (not under /sys/devices/virtual/net)
    // The kind of a virtual interface; only read when there is no physical one to count.
    bool bridge = false;
    bool veth = false;
    bool tunTap = false;
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
std::optional<FileSystemBlocks> readFileSystemBlocks(const SystemCounterSource& source, const std::string& path);
std::optional<std::vector<InterfaceTraffic>> readInterfaceTraffic(const SystemCounterSource& source);
// Absent when neither sysfs nor (for the live source) the kernel knows the interface.
std::optional<unsigned> readInterfaceFlags(const SystemCounterSource& source, const std::string& name);
// Whether a device backs it, and the flags of a virtual one; absent when the interface is
// unknown (it vanished between the reads).
std::optional<InterfaceTraits> readInterfaceTraits(const SystemCounterSource& source, const std::string& name);
// Fills in the kind of a virtual interface (bridge, veth, tun/tap).
void readInterfaceKind(const SystemCounterSource& source, const std::string& name, InterfaceTraits& traits);

}  // namespace platform
