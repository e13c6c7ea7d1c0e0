#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
    // Raw bytes, possibly a cut character: the comm field, or, when comm is cut at 15
    // bytes, the base name of the command's first argument that begins with it.
    std::string name;
    uint64_t startTime = 0;  // clock ticks since boot; tells a reused pid apart
    uint64_t cpuTicks = 0;   // user + system time in clock ticks
    // RssAnon + RssShmem + VmSwap: the memory the process would free by exiting, in RAM
    // or swapped out. 0 when status cannot be read.
    uint64_t footprintBytes = 0;
    // 0 when io cannot be read (another user's process needs ptrace rights for it).
    uint64_t readBytes = 0;   // bytes fetched from storage
    uint64_t writeBytes = 0;  // bytes sent to storage
};

// Reads processes from a /proc tree (the real one, or a fixture tree in tests).
class ProcessTable {
public:
    static constexpr size_t commLength = 15;  // TASK_COMM_LEN less its terminator

    explicit ProcessTable(std::string root = "/proc");

    // The numeric entries of the root, in directory order; absent when it cannot be listed.
    std::optional<std::vector<int32_t>> listProcesses() const;
    // Absent when stat cannot be read or parsed (the process has exited).
    std::optional<ProcessRecord> read(int32_t pid) const;

    const std::string& root() const { return root_; }
    static uint64_t pageSize();

    // The name ps shows for a comm of `comm` and a command line (arguments separated by
    // zero bytes): the first argument's base name when comm was cut and it begins with
    // comm, otherwise comm.
    static std::string_view fullName(std::string_view comm, std::string_view commandLine);

private:
    std::string root_;
};

}  // namespace platform
