#include "support/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Log.h"

extern char** environ;

namespace testsupport {

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}


ProgramRun runProgram(const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment) {
    ProgramRun run;
    if (arguments.empty()) return run;
    TemporaryDirectory directory;
    const std::string outPath = directory.path() + "/out", errPath = directory.path() + "/err";
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> pairs;
    std::vector<char*> envp;
    if (environment) {
        for (const auto& [name, value] : *environment) pairs.push_back(name + "=" + value);
        for (auto& pair : pairs) envp.push_back(pair.data());
        envp.push_back(nullptr);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream out, err;
    out << std::ifstream(outPath).rdbuf();
    err << std::ifstream(errPath).rdbuf();
    run.out = out.str();
    run.err = err.str();
    return run;
}

LogCapture::LogCapture() {
    platform::setLogSink([this](std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    });
}

LogCapture::~LogCapture() { platform::setLogSink({}); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

size_t LogCapture::count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) n += line == text;
    return n;
}

size_t LogCapture::countPrefix(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) n += line.rfind(prefix, 0) == 0;
    return n;
}

bool LogCapture::waitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    return eventually([&] { return contains(text); }, timeout);
}

TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(std::filesystem::temp_directory_path().string()) {}

TemporaryDirectory::TemporaryDirectory(const std::string& parent) {
    std::string pattern = (std::filesystem::path(parent) / "tidemark-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = getenv(name_.c_str())) {
        hadValue_ = true;
        oldValue_ = old;
    }
    if (value)
        setenv(name_.c_str(), value, 1);
    else
        unsetenv(name_.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    if (hadValue_)
        setenv(name_.c_str(), oldValue_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

LocalHttpServer::LocalHttpServer() = default;

LocalHttpServer::~LocalHttpServer() { stop(); }

void LocalHttpServer::start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("could not bind a local test server");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // The socket already listens; connections queue until the accept loop runs.
    eventually([this] { return server_.is_running(); }, std::chrono::seconds(5), std::chrono::milliseconds(1));
}

void LocalHttpServer::stop() {
    if (thread_.joinable()) {
        server_.stop();
        thread_.join();
    }
}

std::string binDirectory() {
    if (const char* dir = getenv("TIDEMARK_BIN_DIR")) return dir;
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
}

std::string testBinDirectory() {
    if (const char* dir = getenv("TIDEMARK_TEST_BIN_DIR")) return dir;
    return std::filesystem::canonical("/proc/self/exe").parent_path();
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

}  // namespace testsupport
