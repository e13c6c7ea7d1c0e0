#pragma once
#include <cstdint>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SocketOwners.h"

struct SocketLookup {
    ConnectionsOpened opened;
    std::vector<SocketKey> keys;  // ascending inode
    bool operator==(const SocketLookup&) const = default;
};

struct NettopState {
    std::string bootId;  // a state from before a reboot names other processes
    std::vector<OwnerState> owners;
    // The processes listed and the sockets nobody held, for the next run's search; absent:
    // the next run walks every process.
    std::optional<std::vector<int32_t>> processes = std::nullopt;
    std::vector<uint64_t> unowned = {};
    uint32_t runsSinceFullWalk = 0;
    // Every socket the run read, with the connections opened by then; absent (too many
    // sockets, or nothing to compare with) means the next run asks for all of them.
    std::optional<SocketLookup> lookup = std::nullopt;
    // The last pid handed out when the run looked (its own, when nothing else started).
    std::optional<int32_t> lastPid = std::nullopt;
    bool operator==(const NettopState&) const = default;
};

// A process's line of output.
struct ProcessTotals {
    int32_t pid = 0;
    std::string name;
    uint64_t received = 0;
    uint64_t sent = 0;
    bool operator==(const ProcessTotals&) const = default;
};

// Limits that keep the file small whatever the machine does; what does not fit is not
// remembered (its bytes are lost once its socket closes).
inline constexpr size_t maxStateOwners = 4096;
inline constexpr size_t maxStateSockets = 32768;
inline constexpr size_t maxStateProcesses = 65536;
// Past this many, one dump costs less than asking for each socket alone.
inline constexpr size_t maxLookupSockets = 256;
// Every so many runs every process is walked again, which bounds how long a socket handed
// between two older processes can stay unseen (a minute at one run every 2 s).
inline constexpr uint32_t runsBetweenFullWalks = 30;
inline constexpr size_t maxStateFileBytes = 4 << 20;  // above what the two limits can fill

std::string serializeState(const NettopState& state);
// Absent when the text is not a state this tool wrote.
std::optional<NettopState> parseState(std::string_view text);

struct Advance {
    std::vector<ProcessTotals> totals;  // ascending pid
    NettopState next;
};

// One run: current owners with their open sockets, against the previous state. A
// process's total = the bytes of its closed sockets + the counts of its open ones. A
// process that held sockets before but holds none now is still reported while it lives
// (nameIfAlive gives its name when the pid still has that start time); one that exited,
// or whose pid now names another process, is forgotten.
Advance advanceState(const NettopState& previous, const std::vector<OwnerSockets>& current,
                     const std::function<std::optional<std::string>(int32_t pid, uint64_t startTime)>& nameIfAlive);

// The state file in one directory (owner-only), replaced atomically and guarded by an
// exclusive lock on a separate file, so two runs at once take turns. Any fault in the
// file means starting afresh.
class StateFile {
public:
    // Absent when the directory cannot be made safe (not ours, open to others, a link).
    static std::optional<StateFile> open(const std::string& directory, std::chrono::milliseconds lockWait);
    // $XDG_RUNTIME_DIR/Tidemark; absent without XDG_RUNTIME_DIR.
    static std::optional<std::string> defaultDirectory();

    StateFile(StateFile&& other) noexcept;
    StateFile& operator=(StateFile&&) = delete;
    ~StateFile();

    NettopState read(const std::string& bootId) const;
    // False when the lock could not be had: the state is then left alone.
    bool write(const NettopState& state) const;
    bool isLocked() const { return lockFd_ >= 0; }

    static constexpr const char* fileName = "nettop-state";
    static constexpr const char* lockName = "nettop-state.lock";

private:
    StateFile(std::string directory, int lockFd) : directory_(std::move(directory)), lockFd_(lockFd) {}
    std::string directory_;
    int lockFd_;
};

// /proc/sys/kernel/random/boot_id, empty when unreadable.
std::string readBootId(const std::string& procRoot = "/proc");
