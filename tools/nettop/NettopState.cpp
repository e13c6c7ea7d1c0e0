#include "NettopState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

constexpr std::string_view header = "tidemark-nettop-state 1";

// The next space-separated token of line, consumed.
std::string_view token(std::string_view& line) {
    const size_t end = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(std::min(end + 1, line.size()));
    return word;
}

template <typename Number>
bool number(std::string_view& line, Number& value) {
    const std::string_view word = token(line);
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return !word.empty() && error == std::errc() && end == word.data() + word.size();
}

template <typename Number, size_t count>
bool numbers(std::string_view& line, Number (&values)[count]) {
    for (Number& value : values)
        if (!number(line, value)) return false;
    return true;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::string serializeState(const NettopState& state) {
    std::string out(header);
    out += "\nboot " + state.bootId + "\n";
    for (const auto& owner : state.owners) {
        out += "p " + std::to_string(owner.pid) + ' ' + std::to_string(owner.startTime) + ' ' +
               std::to_string(owner.closedReceived) + ' ' + std::to_string(owner.closedSent) + '\n';
        for (const auto& socket : owner.sockets) {
            out += "s " + std::to_string(socket.inode) + ' ' + std::to_string(socket.received) + ' ' +
                   std::to_string(socket.sent);
            if (socket.fd >= 0) out += ' ' + std::to_string(socket.fd);
            out += '\n';
        }
    }
    if (state.processes) {
        out += "partial " + std::to_string(state.runsSinceFullWalk) + "\nprocesses";
        for (const int32_t pid : *state.processes) out += ' ' + std::to_string(pid);
        out += '\n';
    }
    if (state.lastPid) out += "lastpid " + std::to_string(*state.lastPid) + '\n';
    if (state.lookup) {
        out += "lookup " + std::to_string(state.lookup->opened.network) + ' ' +
               std::to_string(state.lookup->opened.count) + '\n';
        for (const SocketKey& key : state.lookup->keys) {
            out += "k " + std::to_string(key.inode) + ' ' + std::to_string(key.family) + ' ' +
                   std::to_string(key.sourcePort) + ' ' + std::to_string(key.destinationPort) + ' ' +
                   std::to_string(key.interface);
            for (const uint32_t word : key.cookie) out += ' ' + std::to_string(word);
            for (const uint32_t word : key.source) out += ' ' + std::to_string(word);
            for (const uint32_t word : key.destination) out += ' ' + std::to_string(word);
            out += '\n';
        }
    }
    if (!state.unowned.empty()) {
        out += "unowned";
        for (const uint64_t inode : state.unowned) out += ' ' + std::to_string(inode);
        out += '\n';
    }
    out += "end\n";
    return out;
}

std::optional<NettopState> parseState(std::string_view text) {
    if (text.size() > maxStateFileBytes) return std::nullopt;
    NettopState state;
    size_t sockets = 0;
    bool ended = false;
    bool partial = false;
    for (size_t line = 0; !text.empty(); ++line) {
        const size_t newline = text.find('\n');
        if (newline == std::string_view::npos || ended) return std::nullopt;  // cut short, or text after the end
        std::string_view rest = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (line == 0) {
            if (rest != header) return std::nullopt;
            continue;
        }
        const std::string_view kind = token(rest);
        if (line == 1) {
            if (kind != "boot" || rest.empty() || rest.find(' ') != std::string_view::npos) return std::nullopt;
            state.bootId = rest;
            continue;
        }
        if (kind == "p") {
            OwnerState owner;
            if (!number(rest, owner.pid) || !number(rest, owner.startTime) || !number(rest, owner.closedReceived) ||
                !number(rest, owner.closedSent) || !rest.empty() || owner.pid < 1 ||
                state.owners.size() == maxStateOwners)
                return std::nullopt;
            state.owners.push_back(owner);
        } else if (kind == "s") {
            SocketCounts socket;
            if (state.owners.empty() || !number(rest, socket.inode) || !number(rest, socket.received) ||
                !number(rest, socket.sent) || (!rest.empty() && (!number(rest, socket.fd) || socket.fd < 0)) ||
                !rest.empty() || ++sockets > maxStateSockets)
                return std::nullopt;
            state.owners.back().sockets.push_back(socket);
        } else if (kind == "partial" && !partial) {
            if (!number(rest, state.runsSinceFullWalk) || !rest.empty()) return std::nullopt;
            partial = true;
        } else if (kind == "processes" && partial && !state.processes) {
            std::vector<int32_t> pids;
            for (int32_t pid = 0; !rest.empty();) {
                if (!number(rest, pid) || pid < 1 || (!pids.empty() && pid <= pids.back()) ||
                    pids.size() == maxStateProcesses)
                    return std::nullopt;
                pids.push_back(pid);
            }
            state.processes = std::move(pids);
        } else if (kind == "unowned" && state.unowned.empty() && !rest.empty()) {
            for (uint64_t inode = 0; !rest.empty();) {
                if (!number(rest, inode) || (!state.unowned.empty() && inode <= state.unowned.back()) ||
                    state.unowned.size() == maxStateSockets)
                    return std::nullopt;
                state.unowned.push_back(inode);
            }
        } else if (kind == "lastpid" && !state.lastPid) {
            int32_t pid = 0;
            if (!number(rest, pid) || !rest.empty() || pid < 1) return std::nullopt;
            state.lastPid = pid;
        } else if (kind == "lookup" && !state.lookup) {
            SocketLookup lookup;
            if (!number(rest, lookup.opened.network) || !number(rest, lookup.opened.count) || !rest.empty())
                return std::nullopt;
            state.lookup = std::move(lookup);
        } else if (kind == "k" && state.lookup) {
            auto& keys = state.lookup->keys;
            SocketKey key;
            if (!number(rest, key.inode) || !number(rest, key.family) || !number(rest, key.sourcePort) ||
                !number(rest, key.destinationPort) || !number(rest, key.interface) || !numbers(rest, key.cookie) ||
                !numbers(rest, key.source) || !numbers(rest, key.destination) || !rest.empty() ||
                (!keys.empty() && key.inode <= keys.back().inode) || keys.size() == maxLookupSockets)
                return std::nullopt;
            keys.push_back(key);
        } else if (kind == "end" && rest.empty()) {
            ended = true;
        } else {
            return std::nullopt;
        }
    }
    if (!ended) return std::nullopt;
    return state;
}

Advance advanceState(const NettopState& previous, const std::vector<OwnerSockets>& current,
                     const std::function<std::optional<std::string>(int32_t pid, uint64_t startTime)>& nameIfAlive) {
    std::map<std::pair<int32_t, uint64_t>, const OwnerState*> before;
    for (const auto& owner : previous.owners) before[{owner.pid, owner.startTime}] = &owner;

    Advance result;
    result.next.bootId = previous.bootId;
    size_t remembered = 0;
    const auto remember = [&](OwnerState owner) {
        if (result.next.owners.size() == maxStateOwners) return;
        const size_t room = maxStateSockets - remembered;
        if (owner.sockets.size() > room) owner.sockets.resize(room);
        remembered += owner.sockets.size();
        result.next.owners.push_back(std::move(owner));
    };

    for (const auto& owner : current) {
        OwnerState state{owner.pid, owner.startTime, 0, 0, owner.sockets};
        if (const auto found = before.find({owner.pid, owner.startTime}); found != before.end()) {
            const OwnerState& last = *found->second;
            state.closedReceived = last.closedReceived;
            state.closedSent = last.closedSent;
            std::unordered_map<uint64_t, const SocketCounts*> open;
            for (const auto& socket : owner.sockets) open[socket.inode] = &socket;
            for (const auto& socket : last.sockets) {
                const auto still = open.find(socket.inode);
                // Gone, or counting from less than before (a new socket under that inode):
                // its last counts are the bytes it carried.
                if (still == open.end() || still->second->received < socket.received ||
                    still->second->sent < socket.sent) {
                    state.closedReceived += socket.received;
                    state.closedSent += socket.sent;
                }
            }
            before.erase(found);
        }
        ProcessTotals totals{owner.pid, owner.name, state.closedReceived, state.closedSent};
        for (const auto& socket : owner.sockets) {
            totals.received += socket.received;
            totals.sent += socket.sent;
        }
        result.totals.push_back(std::move(totals));
        remember(std::move(state));
    }

    // Processes that hold no socket now keep their totals while they live.
    for (const auto& [key, last] : before) {
        OwnerState state{last->pid, last->startTime, last->closedReceived, last->closedSent, {}};
        for (const auto& socket : last->sockets) {
            state.closedReceived += socket.received;
            state.closedSent += socket.sent;
        }
        if (state.closedReceived == 0 && state.closedSent == 0) continue;
        auto name = nameIfAlive(last->pid, last->startTime);
        if (!name) continue;
        result.totals.push_back({last->pid, std::move(*name), state.closedReceived, state.closedSent});
        remember(std::move(state));
    }
    std::sort(result.totals.begin(), result.totals.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return result;
}

std::optional<std::string> StateFile::defaultDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') return std::nullopt;
    return std::string(runtime) + "/Tidemark";
}

std::optional<StateFile> StateFile::open(const std::string& directory, std::chrono::milliseconds lockWait) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0)
        return std::nullopt;
    const std::string lockPath = directory + "/" + lockName;
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + lockWait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            fd = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return StateFile(directory, fd);
}

StateFile::StateFile(StateFile&& other) noexcept
    : directory_(std::move(other.directory_)), lockFd_(std::exchange(other.lockFd_, -1)) {}

StateFile::~StateFile() {
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

NettopState StateFile::read(const std::string& bootId) const {
    NettopState fresh{bootId, {}};
    const std::string path = directory_ + "/" + fileName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return fresh;
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        static_cast<uint64_t>(info.st_size) <= maxStateFileBytes) {
        text.resize(static_cast<size_t>(info.st_size) + 1);
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
    }
    ::close(fd);
    auto state = parseState(text);
    if (!state || state->bootId != bootId) return fresh;
    return std::move(*state);
}

bool StateFile::write(const NettopState& state) const {
    if (lockFd_ < 0) return false;
    std::string temporary = directory_ + "/" + fileName + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = writeAll(fd, serializeState(state));
    const bool closed = ::close(fd) == 0;
    const std::string path = directory_ + "/" + fileName;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string readBootId(const std::string& procRoot) {
    const int fd = ::open((procRoot + "/sys/kernel/random/boot_id").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    std::string id(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id.find(' ') == std::string::npos ? id : std::string();
}
