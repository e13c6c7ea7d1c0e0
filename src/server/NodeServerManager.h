#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/URL.h"

// Starts the local web server beside the executable (or attaches to a development
// server), waits until it answers its health check, forwards its output to the log and
// stops it at the end.
class NodeServerManager : public std::enable_shared_from_this<NodeServerManager> {
public:
    // Absent: success.
    using Result = std::optional<platform::Error>;
    using Completion = std::function<void(Result)>;

    struct Timing {
        std::chrono::milliseconds readinessDeadline{25000};
        double probeRequestTimeout = 1.0;  // seconds
        std::chrono::milliseconds probeRetryDelay{350};
        std::chrono::milliseconds stopGracePeriod{2000};
        unsigned long stopPollingMicroseconds = 20000;
    };

    static constexpr int64_t defaultPort = 5230;
    static constexpr int64_t firstProbedPort = 10000;

    // The executable directory defaults to the running executable's.
    NodeServerManager();
    explicit NodeServerManager(Timing timing, std::optional<std::string> executableDirectory = std::nullopt);
    ~NodeServerManager();

    void start(Completion completion);
    // Synchronous; must not be called from the manager's queue.
    void stop();

    platform::URL baseURL() const;
    const std::string& token() const { return token_; }
    int64_t port() const { return port_.load(); }

    static std::string enrichedPath(const std::optional<std::string>& inheritedPath);
    static int64_t firstAvailablePort(int64_t startingAt);
    // The data directory's name for the current environment ("Tidemark" or "Tidemark-<suffix>").
    static std::string dataDirectoryName();
    // A "TIDEMARK_TEST_PORT" value as an override: +/- and digits, 64-bit, 1 to 65535.
    static std::optional<int64_t> parsePortOverride(const std::string& value);

    // For tests of the components that read baseURL before a start.
    void setPortForTesting(int64_t port) { port_ = port; }

private:
    std::optional<std::string> bundledServerPath() const;
    std::variant<std::string, platform::Error> resolveDataDirectory() const;
    void attachLogDrain(platform::Process& process);
    void releaseLogPipe();
    void waitUntilReady(Completion completion);
    void poll(std::shared_ptr<Completion> completion, std::chrono::steady_clock::time_point deadline);
    void launch(const std::string& serverPath, std::optional<int64_t> portOverride, Completion completion);

    Timing timing_;
    std::optional<std::string> executableDirectory_;
    std::shared_ptr<platform::Process> process_;
    std::shared_ptr<platform::Pipe> outputPipe_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    bool isStarted_ = false;
    std::atomic<int64_t> port_{defaultPort};
    const std::string token_;
};
