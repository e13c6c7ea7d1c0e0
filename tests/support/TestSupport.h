#pragma once
// Helpers shared by the tests: log capture, temporary directories, a real local HTTP
// server on 127.0.0.1 and paths of the built executables.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Collects every logged text while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;  // a line equal to text
    size_t count(const std::string& text) const;
    size_t countPrefix(const std::string& prefix) const;
    // Waits (real time) until a line equal to text was logged.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What happened, in the order it happened, noted from any thread.
class EventOrder {
public:
    void note(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// A fresh directory under /tmp (or under parent), removed with its contents at destruction.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    explicit TemporaryDirectory(const std::string& parent);
    ~TemporaryDirectory();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Sets an environment variable for the scope (unset when value is absent) and restores
// the old value afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value);
    ~ScopedEnvironment();

private:
    std::string name_;
    bool hadValue_ = false;
    std::string oldValue_;
};

// A real HTTP server on 127.0.0.1 at a free port, serving on its own thread.
class LocalHttpServer {
public:
    LocalHttpServer();
    ~LocalHttpServer();
    httplib::Server& server() { return server_; }
    // Starts listening; call after the handlers are installed.
    void start();
    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void stop();

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

// Directory of the built executables (Tidemark, TidemarkServer, ...).
// Threads of this process now (entries of /proc/self/task).
size_t threadCount();

std::string binDirectory();
// Directory of the test executables and test helper programs.
std::string testBinDirectory();

// A program run to its end: exit status (-1 when it did not exit normally or could not
// start) and what it wrote to standard output and standard error.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};
// Runs argv[0] (a path) with the rest as arguments; absent environment: this process's.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      const std::optional<std::map<std::string, std::string>>& environment = std::nullopt);

// Polls the predicate (real time) until it holds or the timeout passes.
bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(10));

}  // namespace testsupport
