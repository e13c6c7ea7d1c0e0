#include "platform/ProcessTable.h"
#include "platform/ProcessTableText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <numeric>
#include <string_view>

namespace platform {

using proctext::fieldValue;
using proctext::footprintKilobytes;
using proctext::parseStat;

namespace {

// Reads a whole small file from offset 0 into buf; the size read, or -1 with errno set.
// A process's files are formatted whole when read from their start (and a command line
// is copied as far as asked), so a read that returns less than asked for has reached the
// end: a second read only to be told so would double the system calls of a reading.
ssize_t readAt0(int fd, char* buf, size_t capacity) {
    size_t total = 0;
    while (total < capacity) {
        const ssize_t n = ::pread(fd, buf + total, capacity - total, static_cast<off_t>(total));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        total += static_cast<size_t>(n);
        if (n == 0 || static_cast<size_t>(n) < capacity - (total - static_cast<size_t>(n))) break;
    }
    return static_cast<ssize_t>(total);
}

constexpr size_t statCapacity = 2048;  // 52 fields of at most 20 digits, and comm
constexpr const char* fileNames[] = {"stat", "statm", "status", "io", "cmdline"};

// "<pid>/<file>" in buf, relative to the root's descriptor.
const char* entryPath(char* buf, size_t capacity, int32_t pid, const char* file) {
    char* out = std::to_chars(buf, buf + capacity - 16, pid).ptr;
    *out++ = '/';
    std::memcpy(out, file, std::strlen(file) + 1);
    return buf;
}

// A /proc entry named by a pid alone; other entries (self, sys, …) answer 0.
int32_t pidOfEntry(const char* name) {
    if (name[0] < '0' || name[0] > '9') return 0;
    int32_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [last, error] = std::from_chars(name, end, pid);
    return error == std::errc() && last == end ? pid : 0;
}

bool descriptorsExhausted(int error) { return error == EMFILE || error == ENFILE; }

std::once_flag limitRaised;
std::optional<uint64_t> savedSoftLimit;
bool limitAtMost = false;  // the soft limit is the hard limit

}  // namespace

std::optional<std::vector<int32_t>> ProcessTable::listProcesses() const {
    DIR* dir = ::opendir(root_.c_str());
    if (!dir) return std::nullopt;
    std::vector<int32_t> pids;
    pids.reserve(512);
    while (const dirent* entry = ::readdir(dir)) {
        if (const int32_t pid = pidOfEntry(entry->d_name)) pids.push_back(pid);
    }
    ::closedir(dir);
    return pids;
}

bool raiseDescriptorLimit() {
    std::call_once(limitRaised, [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
        if (limit.rlim_cur >= limit.rlim_max) {
            limitAtMost = true;
            return;
        }
        const rlim_t original = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
        savedSoftLimit = original;
        limitAtMost = true;
    });
    // The same answer on every call, not only the first.
    return limitAtMost;
}

std::optional<uint64_t> originalDescriptorLimit() { return savedSoftLimit; }

ProcessTable::ProcessTable(std::string root, Descriptors descriptors)
    : root_(std::move(root)), descriptors_(descriptors), starts_(root_) {
    refreshBudget();
}

ProcessTable::~ProcessTable() {
    for (auto& [pid, entry] : kept_) closeAll(entry);
    if (rootFd_ >= 0) ::close(rootFd_);
}

// Keeps at most the soft limit less a reserve for everything else the process opens:
// a quarter of the limit, at least 16 and at most 1024 descriptors.
void ProcessTable::refreshBudget() {
    budget_ = 0;
    if (descriptors_ != Descriptors::keep) return;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const size_t soft = static_cast<size_t>(limit.rlim_cur);
    const size_t reserve = std::clamp<size_t>(soft / 4, 16, 1024);
    budget_ = std::min(soft > reserve ? soft - reserve : 0, refusedCap_);
}

// The system refused a descriptor: others in this process need them more. Gives back
// some of those kept (not those of the process being read) and keeps no more than what
// is left.
void ProcessTable::shrinkBudget(int32_t reading) {
    const size_t giveBack = std::max<size_t>(keptCount_ / 4, 16);
    refusedCap_ = keptCount_ > giveBack ? keptCount_ - giveBack : 0;
    budget_ = std::min(budget_, refusedCap_);
    for (auto it = kept_.begin(); it != kept_.end() && keptCount_ > budget_;) {
        if (it->first == reading) {
            ++it;
            continue;
        }
        closeAll(it->second);
        it = kept_.erase(it);
    }
}

int ProcessTable::rootFd() {
    if (rootFd_ < 0) rootFd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return rootFd_;
}

int ProcessTable::openFile(int32_t pid, File file) {
    const int dir = rootFd();
    if (dir < 0) return -1;
    char path[32];
    entryPath(path, sizeof path, pid, fileNames[file]);
    int fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && descriptorsExhausted(errno) && keptCount_ > 0) {
        shrinkBudget(pid);
        fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC);
    }
    return fd;
}

void ProcessTable::closeAll(Kept& entry) {
    for (int& fd : entry.fds) {
        if (fd < 0) continue;
        ::close(fd);
        fd = -1;
        --keptCount_;
    }
}

void ProcessTable::drop(int32_t pid) {
    const auto found = kept_.find(pid);
    if (found == kept_.end()) return;
    closeAll(found->second);
    kept_.erase(found);
}

long ProcessTable::readFile(int32_t pid, Kept* entry, File file, char* buf, size_t capacity, bool& gone) {
    gone = false;
    if (entry && entry->fds[file] >= 0) {
        const ssize_t n = readAt0(entry->fds[file], buf, capacity);
        if (n >= 0) return n;
        // ESRCH: the process has exited (its pid may already name another). Any other
        // error: the file is opened afresh next time, as a first reading would.
        gone = errno == ESRCH;
        ::close(entry->fds[file]);
        entry->fds[file] = -1;
        --keptCount_;
        return -1;
    }
    const uint8_t bit = static_cast<uint8_t>(1u << file);
    if (entry && (entry->refused & bit)) return -1;
    const int fd = openFile(pid, file);
    if (fd < 0) {
        if (entry && (errno == EACCES || errno == EPERM)) entry->refused |= bit;
        return -1;
    }
    const ssize_t n = readAt0(fd, buf, capacity);
    if (entry && n >= 0 && keptCount_ < budget_) {
        entry->fds[file] = fd;
        ++keptCount_;
    } else {
        ::close(fd);
    }
    return n;
}

std::optional<ProcessRecord> ProcessTable::read(int32_t pid) {
    ProcessRecord record;
    if (!readInto(pid, record)) return std::nullopt;
    return record;
}

bool ProcessTable::readInto(int32_t pid, ProcessRecord& record) {
    record.pid = pid;
    record.footprintBytes = record.readBytes = record.writeBytes = 0;
    if (descriptors_ == Descriptors::keep) {
        if (const auto found = kept_.find(pid); found != kept_.end()) {
            Kept& entry = found->second;
            char buf[statCapacity];
            bool gone = false;
            const long n = readFile(pid, &entry, stat, buf, sizeof buf, gone);
            bool kernelThread = false;
            // Read afresh when the process behind the pid changed: the kept descriptors
            // fail once it exits, and a start time that moved means another process.
            if (n > 0 && parseStat(std::string_view(buf, static_cast<size_t>(n)), record, kernelThread) &&
                record.startTime == entry.startTime && entry.fds[stat] >= 0) {
                entry.seen = generation_;
                if (entry.refused && ++entry.readingsSinceRefused >= refusedRetryReadings) {
                    entry.refused = 0;
                    entry.readingsSinceRefused = 0;
                }
                return readRest(pid, &entry, record, kernelThread);
            }
            drop(pid);
        }
    }
    return readFresh(pid, record);
}

bool ProcessTable::readFresh(int32_t pid, ProcessRecord& record) {
    Kept* entry = nullptr;
    if (descriptors_ == Descriptors::keep && keptCount_ < budget_) entry = &kept_[pid];
    char buf[statCapacity];
    bool gone = false;
    const long n = readFile(pid, entry, stat, buf, sizeof buf, gone);
    bool kernelThread = false;
    if (n <= 0 || !parseStat(std::string_view(buf, static_cast<size_t>(n)), record, kernelThread)) {
        if (entry) drop(pid);
        return false;
    }
    if (entry) {
        if (entry->fds[stat] < 0) {
            kept_.erase(pid);
            entry = nullptr;
        } else {
            entry->startTime = record.startTime;
            entry->seen = generation_;
        }
    }
    return readRest(pid, entry, record, kernelThread);
}

long ProcessTable::readOrDrop(int32_t pid, Kept*& entry, File file, char* buf, size_t capacity) {
    bool gone = false;
    const long n = readFile(pid, entry, file, buf, capacity, gone);
    // Once the process is gone its other files are not kept (they could not be read).
    if (gone) {
        drop(pid);
        entry = nullptr;
    }
    return n;
}

// The footprint comes from status, whose formatting costs several times stat's. For a
// kept process, statm is read first: the footprint's pages move only with statm's
// figures (sizes, resident and shared pages; a page swapped out leaves the resident
// ones), so when statm reads as it did, the last footprint stands. Status is read again
// every statusRefreshReadings all the same, for what statm cannot show: swap dropped by
// madvise, shared memory trading places with file pages of the same count.
uint64_t ProcessTable::readFootprint(int32_t pid, Kept*& entry, char* buf, size_t capacity) {
    if (entry) {
        const long m = readOrDrop(pid, entry, statm, buf, capacity);
        if (entry) {
            const bool fits = m > 0 && static_cast<size_t>(m) <= sizeof entry->statmText;
            const bool same = fits && entry->footprintKnown &&
                              entry->readingsSinceStatus + 1 < statusRefreshReadings &&
                              std::string_view(buf, static_cast<size_t>(m)) ==
                                  std::string_view(entry->statmText, entry->statmLength);
            if (same) {
                ++entry->readingsSinceStatus;
                return entry->footprintBytes;
            }
            entry->statmLength = fits ? static_cast<uint8_t>(m) : 0;
            if (fits) std::memcpy(entry->statmText, buf, static_cast<size_t>(m));
        }
    }
    const long n = readOrDrop(pid, entry, status, buf, capacity);
    const uint64_t footprint =
        n > 0 ? footprintKilobytes(std::string_view(buf, static_cast<size_t>(n))) * 1024 : 0;
    if (entry) {
        entry->footprintKnown = n > 0;
        entry->footprintBytes = footprint;
        entry->readingsSinceStatus = 0;
    }
    return footprint;
}

bool ProcessTable::readRest(int32_t pid, Kept* entry, ProcessRecord& record, bool kernelThread) {
    char buf[8192];
    // Only a name cut at the kernel's limit costs the extra read; kernel threads have no
    // command line and keep their own name.
    if (record.name.size() == commLength && !kernelThread) {
        const long n = readOrDrop(pid, entry, cmdline, buf, sizeof buf);
        if (n > 0) record.name = fullName(record.name, std::string_view(buf, static_cast<size_t>(n)));
    }
    // A kernel thread's status never has memory lines (it has no memory of its own).
    if (!kernelThread) record.footprintBytes = readFootprint(pid, entry, buf, sizeof buf);
    const long n = readOrDrop(pid, entry, io, buf, sizeof buf);
    if (n > 0) {
        const std::string_view text(buf, static_cast<size_t>(n));
        const auto readBytes = fieldValue(text, "read_bytes:");
        const auto writeBytes = fieldValue(text, "write_bytes:");
        if (readBytes && writeBytes) {
            record.readBytes = *readBytes;
            record.writeBytes = *writeBytes;
        }
    }
    return true;
}

bool ProcessTable::readAll(std::vector<ProcessRecord>& records) {
    ++generation_;
    refreshBudget();
    size_t used = 0;
    const auto readOne = [&](int32_t pid) {
        if (used == records.size()) records.emplace_back();
        if (!readInto(pid, records[used])) return false;
        ++used;
        return true;
    };
    // Looked at before listing: what starts from here on is seen next time.
    const bool noneStarted = starts_.noneSinceLastLook();
    if (noneStarted && listed_ && ++readingsSinceListing_ < relistReadings) {
        // Listing /proc costs a dentry lookup per process, as much as reading their stat.
        std::erase_if(pids_, [&](int32_t pid) { return !readOne(pid); });
        records.resize(used);
        closeUnseen();
        return true;
    }
    readingsSinceListing_ = 0;
    pids_.clear();
    const int dir = rootFd();
    bool listed = dir >= 0 && ::lseek(dir, 0, SEEK_SET) == 0;
    if (listed && listing_.empty()) listing_.resize(32768);
    while (listed) {
        const ssize_t n = ::getdents64(dir, listing_.data(), listing_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            listed = false;
            break;
        }
        if (n == 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(listing_.data() + at);
            at += entry->d_reclen;
            const int32_t pid = pidOfEntry(entry->d_name);
            if (pid != 0 && readOne(pid)) pids_.push_back(pid);
        }
    }
    records.resize(listed ? used : 0);
    listed_ = listed;
    if (!listed) {
        pids_.clear();
        if (rootFd_ >= 0) ::close(rootFd_);  // opened afresh next time: the root may come back
        rootFd_ = -1;
    }
    closeUnseen();
    return listed;
}

// Descriptors of processes not read in this reading: they have exited.
void ProcessTable::closeUnseen() {
    for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->second.seen == generation_) {
            ++it;
            continue;
        }
        closeAll(it->second);
        it = kept_.erase(it);
    }
}

}  // namespace platform
