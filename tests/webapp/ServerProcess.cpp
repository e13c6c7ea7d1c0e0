#include "ServerProcess.h"

#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace webapptest {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

nlohmann::json smallSample(int64_t ts) {
    return {{"ts", ts},         {"intervalMs", 1000}, {"cpuUsage", 10.0}, {"memoryUsed", 1},
            {"memoryTotal", 2}, {"memoryPercent", 50.0}, {"rxBps", 0.0},  {"txBps", 0.0},
            {"diskUsed", 1},    {"diskTotal", 2},     {"diskPercent", 50.0}};
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool processAlive(const std::string& pidText) {
    if (pidText.empty()) return false;
    std::ifstream stat("/proc/" + pidText + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] != 'Z';
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

RawConnection::RawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

RawConnection::~RawConnection() {
    if (fd_ >= 0) close(fd_);
}

bool RawConnection::send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

namespace {

// Whether data holds a whole response: its head, and as much body as its length says.
bool completeResponse(const std::string& data) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::string head = data.substr(0, end);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t at = head.find("content-length:");
    if (at == std::string::npos) return true;
    return data.size() >= end + 4 + std::stoul(head.substr(at + 15));
}

}  // namespace

std::string RawConnection::receive(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    std::string data;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) break;
        char buffer[8192];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
        if (completeResponse(data)) break;
    }
    return data;
}

int RawConnection::status(const std::string& response) {
    if (response.rfind("HTTP/1.1 ", 0) != 0 || response.size() < 12) return 0;
    return std::stoi(response.substr(9, 3));
}

ServerProcess::ServerProcess(const std::string& dataDir, std::map<std::string, std::string> extra, int port)
    : port_(port ? port : freePort()) {
    // The server answers a refused body at once and closes: a client still sending it
    // must get an error, not a signal.
    signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq) env[std::string(static_cast<const char*>(*e), eq)] = eq + 1;
    }
    env["TIDEMARK_SERVER_TOKEN"] = token;
    env["PORT"] = std::to_string(port_);
    env["TIDEMARK_PORT"] = std::to_string(port_);
    env["TIDEMARK_DATA_DIR"] = dataDir;
    for (auto& [k, v] : extra) {
        if (v.empty()) env.erase(k); else env[k] = v;
    }
    std::vector<std::string> flat;
    for (auto& [k, v] : env) flat.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : flat) envp.push_back(s.data());
    envp.push_back(nullptr);

    int fds[2];
    pipe2(fds, O_CLOEXEC);
    const std::string path = testsupport::binDirectory() + "/TidemarkServer";
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // A test that dies (a crash, a signal) must not leave its server running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execve(path.c_str(), argv, envp.data());
        _exit(127);
    }
    close(fds[1]);
    outFd_ = fds[0];
}

ServerProcess::~ServerProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
}

void ServerProcess::drain(int timeoutMs) {
    pollfd p{outFd_, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0) {
        char buffer[4096];
        const ssize_t n = read(outFd_, buffer, sizeof buffer);
        if (n <= 0) break;
        output_.append(buffer, static_cast<size_t>(n));
        timeoutMs = 0;
    }
}

std::string ServerProcess::output() {
    drain(0);
    return output_;
}

bool ServerProcess::waitUntilListening(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        drain(20);
        if (output_.find("listening on http://127.0.0.1:" + std::to_string(port_)) != std::string::npos) return true;
        if (waitForExit(0) != -1000) return false;
    }
    return false;
}

int ServerProcess::waitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
        if (reaped_) {
            drain(0);
            return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1000;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ServerProcess::terminate(int timeoutMs) {
    if (!reaped_) kill(pid_, SIGTERM);
    return waitForExit(timeoutMs);
}

}  // namespace webapptest
