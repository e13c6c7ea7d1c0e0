#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ProcessStarts.h"

namespace platform {

// Converts the kernel's clock ticks to nanoseconds: ticks × numer / denom.
struct ProcessTimebase {
    uint32_t numer = 1;
    uint32_t denom = 1;
};

// 10^9 / CLK_TCK, reduced (10,000,000 / 1 at 100 Hz).
ProcessTimebase processTimebase();

// Raises the soft limit on open descriptors to the hard limit, once per process (the
// process reader keeps a few descriptors per process). False when it could not.
bool raiseDescriptorLimit();
// The soft limit as it was before raiseDescriptorLimit(); absent when it was never raised.
// Children get it back: some programs misbehave with a huge limit.
std::optional<uint64_t> originalDescriptorLimit();

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
//
// With `keep`, the files of each process stay open between readings and are read again
// at offset 0: a reading then costs one pread per file instead of a path walk, an open,
// a read and a close. Status, the costliest file, is then read only when statm moved.
// A kept descriptor of /proc/<pid> names that process, not the pid: once it exits every
// read fails with ESRCH, even when the pid is reused, and its descriptors are dropped. Descriptors are kept only while well below the soft limit;
// past it, and after the system refuses one, files are opened, read and closed.
// Not thread-safe: one owner reads.
class ProcessTable {
public:
    enum class Descriptors { keep, reopen };
    static constexpr size_t commLength = 15;  // TASK_COMM_LEN less its terminator

    explicit ProcessTable(std::string root = "/proc", Descriptors descriptors = Descriptors::keep);
    ~ProcessTable();
    ProcessTable(const ProcessTable&) = delete;
    ProcessTable& operator=(const ProcessTable&) = delete;

    // The numeric entries of the root, in directory order; absent when it cannot be listed.
    std::optional<std::vector<int32_t>> listProcesses() const;
    // Absent when stat cannot be read or parsed (the process has exited).
    std::optional<ProcessRecord> read(int32_t pid);
    // Every process of the root in directory order into records (reusing its elements), and
    // the descriptors of processes no longer listed closed. False when the root cannot be
    // listed; records is then empty. While no process can have started since the last
    // listing (see ProcessStarts), the root is not listed again: the processes are those
    // listed then that can still be read. It is listed every relistReadings all the same.
    bool readAll(std::vector<ProcessRecord>& records);
    static constexpr unsigned relistReadings = 15;

    // Descriptors held open between readings, and the most it will hold now.
    size_t keptDescriptors() const { return keptCount_; }
    size_t descriptorBudget() const { return budget_; }

    const std::string& root() const { return root_; }
    static uint64_t pageSize();

    // The name ps shows for a comm of `comm` and a command line (arguments separated by
    // zero bytes): the first argument's base name when comm was cut and it begins with
    // comm, otherwise comm.
    static std::string_view fullName(std::string_view comm, std::string_view commandLine);

private:
    enum File { stat, statm, status, io, cmdline, fileCount };
    struct Kept {
        uint64_t startTime = 0;
        uint64_t seen = 0;  // the readAll() that last listed it
        int fds[fileCount] = {-1, -1, -1, -1, -1};
        // statm as it was when status was last read, and what status said then.
        char statmText[96];
        uint8_t statmLength = 0;  // 0: nothing to compare with
        uint8_t readingsSinceStatus = 0;
        bool footprintKnown = false;
        uint64_t footprintBytes = 0;
        // Files the system refused to open (another user's io), not tried again until
        // refusedRetryReadings readings have passed: credentials rarely change.
        uint8_t refused = 0;
        uint8_t readingsSinceRefused = 0;
    };
    // Status is read again at least this often, whatever statm says (see readFootprint).
    static constexpr uint8_t statusRefreshReadings = 15;
    static constexpr uint8_t refusedRetryReadings = 15;

    bool readInto(int32_t pid, ProcessRecord& record);
    bool readFresh(int32_t pid, ProcessRecord& record);
    bool readRest(int32_t pid, Kept* entry, ProcessRecord& record, bool kernelThread);
    // Reads one of the files of readRest; drops the process (entry becomes nullptr) once
    // it has gone.
    long readOrDrop(int32_t pid, Kept*& entry, File file, char* buf, size_t capacity);
    uint64_t readFootprint(int32_t pid, Kept*& entry, char* buf, size_t capacity);
    // Reads one file of pid: through the kept descriptor, else by opening it (and keeping
    // the descriptor in entry when there is room). The size read, or -1.
    long readFile(int32_t pid, Kept* entry, File file, char* buf, size_t capacity, bool& gone);
    int openFile(int32_t pid, File file);
    void drop(int32_t pid);
    void closeAll(Kept& entry);
    void refreshBudget();
    void shrinkBudget(int32_t reading);
    void closeUnseen();
    int rootFd();

    std::string root_;
    Descriptors descriptors_;
    int rootFd_ = -1;
    std::unordered_map<int32_t, Kept> kept_;
    size_t keptCount_ = 0;
    size_t budget_ = 0;
    size_t refusedCap_ = SIZE_MAX;  // lowered when the system refuses a descriptor
    uint64_t generation_ = 0;
    std::vector<char> listing_;  // getdents buffer, reused
    ProcessStarts starts_;
    std::vector<int32_t> pids_;  // read at the last reading, in directory order
    bool listed_ = false;        // pids_ comes from a listing and what followed it
    unsigned readingsSinceListing_ = 0;
};

}  // namespace platform
