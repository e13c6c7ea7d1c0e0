#include "server/NodeServerManager.h"

#include <charconv>
#include <map>
#include <set>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/LoopbackPort.h"
#include "platform/Signals.h"
#include "platform/Text.h"
#include "platform/URLSession.h"
#include "platform/UUID.h"
#include "server/ServerError.h"

namespace {

bool isTestMode() { return platform::environmentEquals("TIDEMARK_TESTING", "1"); }

std::string makeToken() {
    if (isTestMode()) {
        if (auto testToken = platform::environmentValue("TIDEMARK_TEST_TOKEN")) return *testToken;
    }
    std::string text = platform::UUID().uuidString();
    std::erase(text, '-');
    return text;
}

// Forwards each line of a chunk of server output to the log. Chunks stand alone: a
// line split across two reads is logged as two lines.
void logServerOutput(platform::FileHandle& handle) {
    const std::string data = handle.availableData();
    if (data.empty()) {
        handle.setReadabilityHandler({});
        return;
    }
    if (!platform::isValidUTF8(data)) return;
    for (const auto& line : platform::splitLines(data)) platform::log("[Tidemark Server] " + line);
}

}  // namespace

NodeServerManager::NodeServerManager() : NodeServerManager(Timing{}) {}

NodeServerManager::NodeServerManager(Timing timing, std::optional<std::string> executableDirectory)
    : timing_(timing),
      executableDirectory_(std::move(executableDirectory)),
      queue_(platform::DispatchQueue::serial("Tidemark.NodeServerManager")),
      token_(makeToken()) {}

NodeServerManager::~NodeServerManager() = default;

platform::URL NodeServerManager::baseURL() const {
    return *platform::URL::parse("http://127.0.0.1:" + std::to_string(port_.load()));
}

std::optional<int64_t> NodeServerManager::parsePortOverride(const std::string& value) {
    if (value.empty()) return std::nullopt;
    size_t start = 0;
    bool negative = false;
    if (value[0] == '+' || value[0] == '-') {
        negative = value[0] == '-';
        start = 1;
    }
    if (start == value.size()) return std::nullopt;
    for (size_t i = start; i < value.size(); ++i)
        if (value[i] < '0' || value[i] > '9') return std::nullopt;
    // from_chars takes the sign itself, but not a "+".
    // Built in steps: GCC 12 at -O3 takes literal + string for an overlapping copy (bogus
    // -Wrestrict, GCC bug 105651).
    std::string digits = negative ? std::string(1, '-') : std::string();
    digits += std::string_view(value).substr(start);
    int64_t parsed = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    // No TCP port lies above 65535: such a value is as unusable as a malformed one.
    if (parsed < 1 || parsed > 65535) return std::nullopt;
    return parsed;
}

std::string NodeServerManager::enrichedPath(const std::optional<std::string>& inheritedPath) {
    const std::string home = platform::homeDirectory();
    std::vector<std::string> candidates = {
        home + "/.amp/bin", home + "/.local/bin", home + "/.opencode/bin", home + "/.antigravity/antigravity/bin",
        home + "/bin",      "/opt/homebrew/bin",  "/usr/local/bin",        "/usr/bin",
        "/bin",             "/usr/sbin",          "/sbin",
    };
    const std::string inherited = inheritedPath.value_or("");
    size_t begin = 0;
    while (begin <= inherited.size()) {
        const size_t end = std::min(inherited.find(':', begin), inherited.size());
        if (end > begin) candidates.push_back(inherited.substr(begin, end - begin));
        begin = end + 1;
    }
    std::set<std::string> taken;
    std::string joined;
    for (const auto& candidate : candidates) {
        if (candidate.empty() || !taken.insert(candidate).second) continue;
        if (!joined.empty()) joined += ':';
        joined += candidate;
    }
    return joined;
}

int64_t NodeServerManager::firstAvailablePort(int64_t startingAt) {
    for (int64_t port = startingAt; port <= 65535; ++port)
        if (platform::canBindLoopbackPort(port)) return port;
    return startingAt;
}

std::string NodeServerManager::dataDirectoryName() {
    std::string name = "Tidemark";
    if (!isTestMode()) return name;
    const auto suffix = platform::environmentValue("TIDEMARK_TEST_DATA_SUFFIX");
    if (!suffix) return name;
    // Undecodable bytes are dropped like any other character that is not allowed.
    std::u32string kept;
    for (const char32_t c : platform::decodeUTF8(*suffix).value_or(U""))
        if (c == U'-' || platform::isLetterOrNumber(c)) kept.push_back(c);
    if (!kept.empty()) name += "-" + platform::encodeUTF8(kept);
    return name;
}

std::optional<std::string> NodeServerManager::bundledServerPath() const {
    std::string directory = executableDirectory_.value_or("");
    if (!executableDirectory_) {
        if (platform::Bundle::main().executablePath().empty()) return std::nullopt;
        directory = platform::Bundle::main().executableDirectory();
    }
    const std::string path = directory + "/TidemarkServer";
    if (!platform::FileManager::defaultManager().isExecutableFile(path)) return std::nullopt;
    return path;
}

std::variant<std::string, platform::Error> NodeServerManager::resolveDataDirectory() const {
    auto support = platform::FileManager::defaultManager().applicationSupportDirectory(true);
    if (auto* error = std::get_if<platform::Error>(&support)) return *error;
    const std::string path = std::get<std::string>(support) + "/" + dataDirectoryName();
    if (auto error = platform::FileManager::defaultManager().createDirectory(path, true)) return *error;
    return path;
}

void NodeServerManager::start(Completion completion) {
    auto self = shared_from_this();
    queue_->async([self, completion = std::move(completion)]() mutable {
        if (self->isStarted_) {
            completion(std::nullopt);
            return;
        }
        std::optional<int64_t> portOverride;
        if (isTestMode()) {
            if (auto value = platform::environmentValue("TIDEMARK_TEST_PORT")) portOverride = parsePortOverride(*value);
        }
        const auto serverPath = self->bundledServerPath();
        if (!serverPath) {
            self->port_ = portOverride.value_or(defaultPort);
            self->isStarted_ = true;
            platform::log("[Tidemark] Attaching to external dev server at " + self->baseURL().absoluteString());
            self->waitUntilReady(std::move(completion));
            return;
        }
        self->launch(*serverPath, portOverride, std::move(completion));
    });
}

void NodeServerManager::launch(const std::string& serverPath, std::optional<int64_t> portOverride, Completion completion) {
    port_ = portOverride ? *portOverride : firstAvailablePort(firstProbedPort);
    auto process = platform::Process::make();
    process->executablePath = serverPath;

    const auto fail = [&](const platform::Error& error) {
        releaseLogPipe();
        completion(error);
    };
    auto dataDirectory = resolveDataDirectory();
    if (auto* error = std::get_if<platform::Error>(&dataDirectory)) return fail(*error);
    const std::string& directory = std::get<std::string>(dataDirectory);

    auto environment = platform::processEnvironment();
    const std::optional<std::string> inheritedPath =
        environment.count("PATH") ? std::optional<std::string>(environment["PATH"]) : std::nullopt;
    const std::string portText = std::to_string(port_.load());
    environment["TIDEMARK_SERVER_TOKEN"] = token_;
    environment["TIDEMARK_PORT"] = portText;
    environment["PORT"] = portText;
    environment["TIDEMARK_DATA_DIR"] = directory;
    // Not = "1": GCC 12 at -O3 takes a one-character literal's assignment for an
    // overlapping copy (bogus -Wrestrict, GCC bug 105329).
    environment["TIDEMARK_PROCESS_METRICS"] = std::string(1, '1');
    environment["NODE_ENV"] = "production";
    environment["NODE_OPTIONS"] = "";
    environment["PATH"] = enrichedPath(inheritedPath);
    process->environment = std::move(environment);
    process->currentDirectoryPath = directory;

    attachLogDrain(*process);
    process->setTerminationHandler([](platform::Process& exited) {
        platform::log("[Tidemark] Server exited with status " + std::to_string(exited.terminationStatus()));
    });
    if (auto error = process->run()) return fail(*error);
    process_ = std::move(process);
    isStarted_ = true;
    waitUntilReady(std::move(completion));
}

void NodeServerManager::attachLogDrain(platform::Process& process) {
    outputPipe_ = std::make_shared<platform::Pipe>();
    process.standardOutput = outputPipe_;
    process.standardError = outputPipe_;
    outputPipe_->fileHandleForReading()->setReadabilityHandler(logServerOutput);
}

void NodeServerManager::releaseLogPipe() {
    if (outputPipe_) outputPipe_->fileHandleForReading()->setReadabilityHandler({});
    outputPipe_.reset();
}

void NodeServerManager::waitUntilReady(Completion completion) {
    const auto deadline = std::chrono::steady_clock::now() + timing_.readinessDeadline;
    poll(std::make_shared<Completion>(std::move(completion)), deadline);
}

void NodeServerManager::poll(std::shared_ptr<Completion> completion, std::chrono::steady_clock::time_point deadline) {
    platform::URLRequest request;
    request.url = baseURL().appendingPathComponent("api/health").absoluteString();
    request.timeoutInterval = timing_.probeRequestTimeout;
    auto self = shared_from_this();
    platform::URLSession::shared()
        .dataTask(request,
                  [self, completion, deadline](std::optional<std::string>, std::optional<platform::HTTPURLResponse> response,
                                               std::optional<platform::Error>) {
                      if (response && response->statusCode == 200) {
                          (*completion)(std::nullopt);
                          return;
                      }
                      if (std::chrono::steady_clock::now() > deadline) {
                          (*completion)(ServerError::healthCheckTimedOut().asError());
                          return;
                      }
                      self->queue_->asyncAfter(self->timing_.probeRetryDelay,
                                               [self, completion, deadline] { self->poll(completion, deadline); });
                  })
        ->resume();
}

void NodeServerManager::stop() {
    queue_->sync([this] {
        if (!process_) return;
        process_->setTerminationHandler({});
        if (process_->isRunning()) {
            process_->terminate();
            const auto deadline = std::chrono::steady_clock::now() + timing_.stopGracePeriod;
            while (process_->isRunning() && std::chrono::steady_clock::now() < deadline)
                platform::sleepMicroseconds(timing_.stopPollingMicroseconds);
            // Through the process object: it never signals a pid that was already reaped.
            process_->sendSignal(platform::killSignal);
            if (process_->isRunning()) process_->waitUntilExit();
        }
        process_.reset();
        releaseLogPipe();
    });
}
