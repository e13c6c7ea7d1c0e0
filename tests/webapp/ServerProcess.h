#pragma once
// Starts the real TidemarkServer executable on a free port for a test.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>

namespace webapptest {

// Sanitizers slow the server several times and keep freed memory in quarantine: bounds on
// latency and resident memory hold only without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

int freePort();
// Wall-clock milliseconds, the samples' time base.
int64_t nowMs();
// A valid system sample with small made-up figures.
nlohmann::json smallSample(int64_t ts);
// Whether a process with this pid (as text) exists and is not a zombie.
bool processAlive(const std::string& pidText);
// Resident memory of a process in KiB; -1 when it cannot be read.
long residentKiB(pid_t pid);

// A plain loopback TCP connection to the server, for what no well-behaved client sends.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& data);
    // Reads until the peer closes, a whole response has arrived, or the time runs out.
    std::string receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // The status of the response's first line, 0 if there is none.
    static int status(const std::string& response);

private:
    int fd_ = -1;
    bool connected_ = false;
};

class ServerProcess {
public:
    static constexpr const char* token = "0123456789ABCDEF0123456789ABCDEF";

    // extra may override or add variables; an empty value removes the variable.
    explicit ServerProcess(const std::string& dataDir, std::map<std::string, std::string> extra = {},
                           int port = 0);
    ~ServerProcess();

    bool waitUntilListening(int timeoutMs = 10000);
    // Sends SIGTERM and waits; returns the exit code, or -signal, or -1000 on time-out.
    int terminate(int timeoutMs = 5000);
    int waitForExit(int timeoutMs);
    std::string output();  // everything read so far from stdout and stderr
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    void drain(int timeoutMs);
    int port_;
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string output_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace webapptest
