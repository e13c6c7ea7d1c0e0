#include "support/PrivateNetwork.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

constexpr const char* prefix = "tidemark-test-";

// Namespaces left behind by a test process that died before its clean-up.
void removeStaleNamespaces() {
    std::string list;
    if (runCommand({"ip", "netns", "list"}, &list) != 0) return;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind(prefix, 0) != 0) continue;
        const int owner = std::atoi(name.c_str() + std::strlen(prefix));
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) runCommand({"ip", "netns", "delete", name});
    }
}

std::string address(uint32_t value) {
    return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 255) + "." +
           std::to_string((value >> 8) & 255) + "." + std::to_string(value & 255);
}

}  // namespace

int runCommand(const std::vector<std::string>& command, std::string* output) {
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; spawned == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(pipeFds[0]);
    if (spawned != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (output) *output = std::move(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<PrivateNetwork> PrivateNetwork::create(std::string& whyNot) {
    if (::geteuid() != 0) {
        whyNot = "needs root to create a network namespace";
        return nullptr;
    }
    removeStaleNamespaces();
    static std::atomic<int> counter{0};
    const int pid = ::getpid();
    const int serial = counter++;
    std::unique_ptr<PrivateNetwork> network(new PrivateNetwork);
    network->name_ = prefix + std::to_string(pid) + "-" + std::to_string(serial);
    // Link names are at most 15 bytes; one /30 of 198.18.0.0/15 per process and serial.
    network->hostLink_ = "tmh" + std::to_string(pid % 1000000) + "x" + std::to_string(serial % 100);
    const std::string insideLink = "tmi" + std::to_string(pid % 1000000) + "x" + std::to_string(serial % 100);
    const uint32_t block = (static_cast<uint32_t>(pid) * 8 + static_cast<uint32_t>(serial % 8)) % 16384;  // 198.18/16
    const uint32_t base = (198u << 24) | (18u << 16) | (block * 4);
    network->hostAddress_ = address(base + 1);
    network->insideAddress_ = address(base + 2);
    if (runCommand({"ip", "netns", "add", network->name_}) != 0) {
        whyNot = "`ip netns add` failed";
        network->name_.clear();
        return nullptr;
    }
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "add", network->hostLink_, "type", "veth", "peer", "name", insideLink},
        {"ip", "link", "set", insideLink, "netns", network->name_},
        {"ip", "address", "add", network->hostAddress_ + "/30", "dev", network->hostLink_},
        {"ip", "link", "set", network->hostLink_, "up"},
        {"ip", "-n", network->name_, "address", "add", network->insideAddress_ + "/30", "dev", insideLink},
        {"ip", "-n", network->name_, "link", "set", insideLink, "up"},
        {"ip", "-n", network->name_, "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
        if (runCommand(step) != 0) {
            whyNot = "could not set up the veth pair";
            return nullptr;  // the destructor removes what was made
        }
    }
    return network;
}

PrivateNetwork::~PrivateNetwork() {
    if (!hostLink_.empty()) runCommand({"ip", "link", "delete", hostLink_});
    if (!name_.empty()) runCommand({"ip", "netns", "delete", name_});
}

std::vector<std::string> PrivateNetwork::inside(const std::vector<std::string>& command) const {
    std::vector<std::string> full = {"ip", "netns", "exec", name_};
    full.insert(full.end(), command.begin(), command.end());
    return full;
}

}  // namespace testsupport
