#pragma once
// Runs build/bin/Tidemark as a whole process with the test switches, in its own
// temporary home, and watches what it does.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/TestSupport.h"


namespace testsupport {

struct TidemarkRunOptions {
    // Added to (or overriding) the test switches.
    std::map<std::string, std::string> environment;
    // Set TIDEMARK_TEST_TOKEN to a known value (unless the environment above sets it).
    bool fixedToken = true;
    // Run a copy of Tidemark from a fresh folder, with this program beside it as its
    // TidemarkServer (empty: none, which makes Tidemark attach to a development server).
    std::optional<std::string> copiedInstallWithServer;
    // Run this program instead (an installed `tidemark`, for example).
    std::optional<std::string> executable{};
    // Run as the same user as that run: its home, settings and runtime folder.
    const class TidemarkRun* sameUserAs = nullptr;
};

class TidemarkRun {
public:
    explicit TidemarkRun(TidemarkRunOptions options = {});
    ~TidemarkRun();

    int port() const { return port_; }
    const std::string& token() const { return token_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::string& home() const { return home_.path(); }
    platform::Process& process() { return *process_; }

    // Everything Tidemark wrote to stdout and stderr so far.
    std::string output() const;
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
    // Waits until everything written has been read: Tidemark and every child that shares
    // its output have closed it. Output read right after an exit may still lack the end.
    bool waitForOutputEnd(std::chrono::milliseconds timeout) const;
    // Waits until GET /api/health answers 200.
    bool waitUntilHealthy(std::chrono::milliseconds timeout) const;
    // SIGTERM, then true when Tidemark ended through its normal path with status 0.
    bool stop();
    // Direct children of the Tidemark process (by /proc/<pid>/stat).
    std::vector<int> childPids() const;
    // The children that are servers (the network tool comes and goes beside them).
    std::vector<int> serverPids() const;

private:
    testsupport::TemporaryDirectory home_;
    int port_ = 0;
    std::string token_;
    std::shared_ptr<platform::Process> process_;
    std::shared_ptr<platform::Pipe> pipe_;
    struct Output;
    std::shared_ptr<Output> output_;
};

bool processAlive(int pid);
// Every live descendant of a process (children, their children, ...).
std::vector<int> descendantPids(int root);
int freeLoopbackPort();

}  // namespace testsupport
