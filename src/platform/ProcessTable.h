#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Converts the kernel's clock ticks to nanoseconds: ticks × numer / denom.
struct ProcessTimebase {
    uint32_t numer = 1;
    uint32_t denom = 1;
};

// 10^9 / CLK_TCK, reduced (10,000,000 / 1 at 100 Hz).
ProcessTimebase processTimebase();

// One process as the kernel reports it under /proc/<pid>.
struct ProcessRecord {
    int32_t pid = 0;
    std::string name;        // the comm field, raw bytes (at most 15, may cut a character)
    uint64_t startTime = 0;  // clock ticks since boot; tells a reused pid apart
    uint64_t cpuTicks = 0;   // user + system time in clock ticks
    uint64_t privateResidentBytes = 0;
    uint64_t readBytes = 0;   // bytes fetched from storage
    uint64_t writeBytes = 0;  // bytes sent to storage
};

// Reads processes from a /proc tree (the real one, or a fixture tree in tests).
class ProcessTable {
public:
    // statm: (resident − shared) pages; status: RssAnon + VmSwap. statm is the cheaper.
    enum class MemorySource { statm, status };

    explicit ProcessTable(std::string root = "/proc", MemorySource memorySource = MemorySource::statm);

    // The numeric entries of the root, in directory order; absent when it cannot be listed.
    std::optional<std::vector<int32_t>> listProcesses() const;
    // Absent when stat, the memory file or io cannot be read or parsed (for example
    // another user's process, or one that has just exited).
    std::optional<ProcessRecord> read(int32_t pid) const;

    const std::string& root() const { return root_; }
    static uint64_t pageSize();

private:
    std::string root_;
    MemorySource memorySource_;
    uint64_t pageSize_;
};

}  // namespace platform
