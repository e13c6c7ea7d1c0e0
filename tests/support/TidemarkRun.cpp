#include "support/TidemarkRun.h"

#include <signal.h>
#include <sys/wait.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/Environment.h"
#include "platform/LoopbackPort.h"

namespace testsupport {

struct TidemarkRun::Output {
    mutable std::mutex mutex;
    std::condition_variable ended;
    std::string text;
    bool atEnd = false;
};

int freeLoopbackPort() {
    // Below the kernel's ephemeral range (32768 and up): a client connection of another
    // test can take an ephemeral port between our probe and the server's bind.
    constexpr int first = 20000, last = 32000;
    static int next = first + (getpid() % 1000) * 12;
    for (;; ++next) {
        if (next > last) next = first;
        if (platform::canBindLoopbackPort(next)) return next++;
    }
}

bool processAlive(int pid) {
    if (pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    // A zombie has exited; it only waits to be reaped.
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TidemarkRun::TidemarkRun(TidemarkRunOptions options) : output_(std::make_shared<Output>()) {
    if (auto given = options.environment.find("TIDEMARK_TEST_PORT"); given != options.environment.end())
        port_ = std::stoi(given->second);
    else
        port_ = freeLoopbackPort();
    if (auto given = options.environment.find("TIDEMARK_TEST_TOKEN"); given != options.environment.end())
        token_ = given->second;
    else if (options.fixedToken)
        token_ = "E2E" + std::to_string(getpid()) + "TOKEN";
    auto environment = platform::processEnvironment();
    const std::string home = options.sameUserAs ? options.sameUserAs->home() : home_.path();
    environment["HOME"] = home;
    environment["XDG_DATA_HOME"] = home + "/data";
    environment["XDG_CONFIG_HOME"] = home + "/config";
    environment["XDG_CACHE_HOME"] = home + "/cache";
    environment["XDG_RUNTIME_DIR"] = home + "/runtime";
    std::filesystem::create_directories(home + "/runtime");
    environment["TIDEMARK_UI"] = "headless";
    environment["TIDEMARK_TESTING"] = "1";
    environment["TIDEMARK_TEST_PORT"] = std::to_string(port_);
    if (!token_.empty()) environment["TIDEMARK_TEST_TOKEN"] = token_;
    environment["TIDEMARK_TEST_DATA_SUFFIX"] = "e2e";
    environment.erase("DISPLAY");
    environment.erase("WAYLAND_DISPLAY");
    environment.erase("TIDEMARK_KEEP_POPOVER_OPEN");
    environment.erase("TIDEMARK_TEST_SHOW_PANEL");
    for (auto& [name, value] : options.environment) environment[name] = value;

    std::string executable = options.executable.value_or(binDirectory() + "/Tidemark");
    if (options.copiedInstallWithServer) {
        const std::string install = home_.path() + "/install";
        std::filesystem::create_directories(install);
        std::filesystem::copy_file(executable, install + "/Tidemark");
        // The desktop backend is a module that lies beside the executable.
        const auto module = std::filesystem::path(executable).parent_path() / "modules/tidemark-desktop.so";
        if (std::filesystem::exists(module)) {
            std::filesystem::create_directories(install + "/modules");
            std::filesystem::copy_file(module, install + "/modules/tidemark-desktop.so");
        }
        if (!options.copiedInstallWithServer->empty())
            std::filesystem::copy_file(*options.copiedInstallWithServer, install + "/TidemarkServer");
        executable = install + "/Tidemark";
    }
    process_ = platform::Process::make();
    process_->executablePath = executable;
    process_->environment = environment;
    pipe_ = std::make_shared<platform::Pipe>();
    process_->standardOutput = pipe_;
    process_->standardError = pipe_;
    auto output = output_;
    pipe_->fileHandleForReading()->setReadabilityHandler([output](platform::FileHandle& handle) {
        const std::string data = handle.availableData();
        if (data.empty()) {
            handle.setReadabilityHandler({});
            std::lock_guard lock(output->mutex);
            output->atEnd = true;
            output->ended.notify_all();
            return;
        }
        std::lock_guard lock(output->mutex);
        output->text += data;
    });
    if (auto error = process_->run()) throw std::runtime_error("could not start Tidemark: " + error->description);
}

TidemarkRun::~TidemarkRun() {
    if (process_->isRunning()) {
        ::kill(process_->processIdentifier(), SIGKILL);
        process_->waitUntilExit();
    }
    pipe_->fileHandleForReading()->setReadabilityHandler({});
}

std::string TidemarkRun::output() const {
    std::lock_guard lock(output_->mutex);
    return output_->text;
}

bool TidemarkRun::waitForOutputEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(output_->mutex);
    return output_->ended.wait_for(lock, timeout, [&] { return output_->atEnd; });
}

bool TidemarkRun::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
}

bool TidemarkRun::stop() {
    ::kill(process_->processIdentifier(), SIGTERM);
    return process_->waitUntilExit(std::chrono::seconds(10)) &&
           process_->terminationReason() == platform::Process::TerminationReason::exit && process_->terminationStatus() == 0;
}

bool TidemarkRun::waitUntilHealthy(std::chrono::milliseconds timeout) const {
    return eventually(
        [&] {
            httplib::Client client("127.0.0.1", port_);
            client.set_connection_timeout(0, 200000);
            auto response = client.Get("/api/health");
            return response && response->status == 200;
        },
        timeout, std::chrono::milliseconds(50));
}

namespace {

// Live (not zombie) processes by parent, from /proc/<pid>/stat.
std::map<int, std::vector<int>> childrenByParent() {
    std::map<int, std::vector<int>> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos || close + 2 >= line.size()) continue;
        std::istringstream fields(line.substr(close + 2));
        char state;
        int ppid;
        if (fields >> state >> ppid && state != 'Z') children[ppid].push_back(std::stoi(name));
    }
    return children;
}

}  // namespace

std::vector<int> TidemarkRun::childPids() const { return childrenByParent()[process_->processIdentifier()]; }

std::vector<int> TidemarkRun::serverPids() const {
    std::vector<int> servers;
    for (int pid : childPids()) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "TidemarkServer") servers.push_back(pid);
    }
    return servers;
}

std::vector<int> descendantPids(int root) {
    auto children = childrenByParent();
    std::vector<int> found;
    std::vector<int> pending{root};
    while (!pending.empty()) {
        const int pid = pending.back();
        pending.pop_back();
        for (int child : children[pid]) {
            found.push_back(child);
            pending.push_back(child);
        }
    }
    return found;
}

}  // namespace testsupport
