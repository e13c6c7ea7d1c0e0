#include "QuotaService.h"

#include "AtomicFile.h"
#include "QuotaCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using nlohmann::json;

namespace {

const std::regex kIdPattern("^[a-z0-9-]{1,64}$");
const std::regex kColorPattern("^#[0-9a-fA-F]{6}$");

std::string percentText(double percent) { return std::to_string(static_cast<int>(std::lround(percent))) + "%"; }

QuotaProvider builtIn(const char* id, const char* name, const char* color, std::optional<double> percent) {
    QuotaProvider p;
    p.id = id;
    p.name = name;
    p.color = color;
    p.builtIn = true;
    if (percent) {
        p.status = "ok";
        p.percent = std::clamp(*percent, 0.0, 100.0);
        p.displayValue = percentText(*p.percent);
    } else {
        p.status = "not_configured";
        p.displayValue = "Waiting";
    }
    return p;
}

}  // namespace

QuotaService::QuotaService(std::string dataDirectory, const LiveState& live, LogFunction log, Timing timing)
    : dataDirectory_(std::move(dataDirectory)),
      live_(live),
      log_(std::move(log)),
      timing_(timing),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    removeStaleTemporaries();
    loadDockSettings();
}

QuotaService::~QuotaService() {
    stop();
    if (stopFd_ >= 0) close(stopFd_);
}

void QuotaService::start() {
    if (thread_.joinable() || stopping_) return;
    thread_ = std::thread([this] { loop(); });
}

void QuotaService::stop() {
    stopping_ = true;
    cancellation_.cancel();
    if (stopFd_ >= 0) eventfd_write(stopFd_, 1);
    // Returns at once: the command, if any, was killed and the thread only reaps it.
    if (thread_.joinable()) thread_.join();
}

void QuotaService::removeStaleTemporaries() {
    // A write cut short by a kill leaves its temporary; the file itself is whole.
    if (dataDirectory_.empty()) return;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dataDirectory_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("dock.json.tmp-", 0) == 0) std::filesystem::remove(it->path(), ec);
    }
}

bool QuotaService::isValidId(const std::string& id) { return std::regex_match(id, kIdPattern); }

std::string QuotaService::trim(const std::string& text) {
    const char* space = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

size_t QuotaService::characterCount(const std::string& utf8) {
    // Code points: never fewer than the user-perceived characters the Dock counts.
    size_t count = 0;
    for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
    return count;
}

QuotaProvider QuotaService::resultFromOutput(QuotaProvider provider, const std::string& output) {
    provider.percent.reset();
    json value = json::parse(output, nullptr, false);
    auto fail = [&] {
        provider.status = "error";
        provider.percent.reset();
        provider.displayValue = "Error";
        return provider;
    };
    if (value.is_discarded() || !value.is_object()) return fail();
    auto status = value.find("status");
    auto display = value.find("displayValue");
    if (status == value.end() || !status->is_string() || display == value.end() || !display->is_string()) return fail();
    const std::string statusText = status->get<std::string>();
    if (statusText != "ok" && statusText != "not_configured" && statusText != "error") return fail();
    const std::string displayText = trim(display->get<std::string>());
    if (characterCount(displayText) > 24) return fail();
    provider.status = statusText;
    provider.displayValue = displayText;
    auto percent = value.find("percent");
    if (percent != value.end() && percent->is_number()) {
        const double p = percent->get<double>();
        if (std::isfinite(p)) provider.percent = std::clamp(p, 0.0, 100.0);
    }
    return provider;
}

std::vector<QuotaProvider> QuotaService::providers() const {
    std::vector<QuotaProvider> result;
    const auto sample = live_.latestSample();
    result.push_back(builtIn("cpu", "CPU", "#63d89e", sample ? std::optional(sample->cpuUsage) : std::nullopt));
    result.push_back(builtIn("memory", "Memory", "#6cb6ff", sample ? std::optional(sample->memoryPercent) : std::nullopt));
    result.push_back(builtIn("disk", "Disk", "#f2b45a", sample ? std::optional(sample->diskPercent) : std::nullopt));
    std::lock_guard lock(mutex_);
    for (const auto& c : configured_) result.push_back(c.provider);
    return result;
}

DockSettings QuotaService::dockSettings() const {
    std::lock_guard lock(mutex_);
    return dock_;
}

json QuotaService::dockPayload() const {
    const DockSettings settings = dockSettings();
    json list = json::array();
    for (const auto& p : providers()) {
        json item{{"id", p.id}, {"name", p.name}, {"color", p.color}, {"status", p.status}, {"displayValue", p.displayValue}};
        if (p.percent) item["percent"] = *p.percent;
        list.push_back(std::move(item));
    }
    return json{{"enabled", settings.showInDock}, {"selection", settings.selection}, {"providers", std::move(list)}};
}

bool QuotaService::updateDockSettings(const json& body, std::string& error) {
    if (!body.is_object()) {
        error = "body must be a JSON object";
        return false;
    }
    DockSettings next = dockSettings();
    if (auto it = body.find("showInDock"); it != body.end()) {
        if (!it->is_boolean()) {
            error = "showInDock must be a Boolean";
            return false;
        }
        next.showInDock = it->get<bool>();
    }
    if (auto it = body.find("selection"); it != body.end()) {
        if (!it->is_string() || (it->get<std::string>() != "auto" && !isValidId(it->get<std::string>()))) {
            error = "selection must be \"auto\" or a provider id";
            return false;
        }
        next.selection = it->get<std::string>();
    }
    std::lock_guard lock(mutex_);
    dock_ = next;
    if (!saveDockSettings(next) && !dockWriteFailedLogged_) {
        dockWriteFailedLogged_ = true;
        log_("Could not save the Dock settings in the data directory: they are kept in memory");
    }
    return true;
}

void QuotaService::loadDockSettings() {
    if (dataDirectory_.empty()) return;
    std::ifstream in(dataDirectory_ + "/dock.json");
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    json value = json::parse(text.str(), nullptr, false);
    if (!value.is_object()) {
        log_("Ignored unreadable dock.json");
        return;
    }
    if (auto it = value.find("showInDock"); it != value.end() && it->is_boolean()) dock_.showInDock = it->get<bool>();
    if (auto it = value.find("selection"); it != value.end() && it->is_string() &&
                                           (it->get<std::string>() == "auto" || isValidId(it->get<std::string>()))) {
        dock_.selection = it->get<std::string>();
    }
}

bool QuotaService::saveDockSettings(const DockSettings& settings) {
    if (dataDirectory_.empty()) return false;
    const json value{{"showInDock", settings.showInDock}, {"selection", settings.selection}};
    return AtomicFile::write(dataDirectory_ + "/dock.json", value.dump(2) + "\n");
}

std::vector<QuotaService::Configured> QuotaService::parseQuotasFile(const std::string& text, const LogFunction& log) {
    std::vector<Configured> loaded;
    json value = json::parse(text, nullptr, false);
    if (value.is_object() && value.contains("providers")) value = value["providers"];
    if (!value.is_array()) {
        log("Ignored quotas.json: expected a list of providers");
        value = json::array();
    }
    std::vector<std::string> seen = {"cpu", "memory", "disk"};
    for (size_t i = 0; i < value.size(); ++i) {
        const json& entry = value[i];
        const std::string where = "quotas.json entry " + std::to_string(i + 1);
        if (!entry.is_object()) {
            log("Ignored " + where + ": not an object");
            continue;
        }
        Configured c;
        auto textOf = [&](const char* key) {
            auto it = entry.find(key);
            return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        c.provider.id = textOf("id");
        c.provider.name = trim(textOf("name"));
        c.provider.color = textOf("color");
        if (auto it = entry.find("command"); it != entry.end()) {
            if (it->is_string()) {
                c.command.push_back(it->get<std::string>());
            } else if (it->is_array()) {
                for (const auto& part : *it) {
                    if (!part.is_string()) {
                        c.command.clear();
                        break;
                    }
                    c.command.push_back(part.get<std::string>());
                }
            }
        }
        if (!isValidId(c.provider.id) || std::find(seen.begin(), seen.end(), c.provider.id) != seen.end()) {
            log("Ignored " + where + ": the id must be unique and of a-z, 0-9 and -");
            continue;
        }
        if (c.provider.name.empty() || characterCount(c.provider.name) > 40) {
            log("Ignored " + where + ": the name must have 1 to 40 characters");
            continue;
        }
        if (!std::regex_match(c.provider.color, kColorPattern)) {
            log("Ignored " + where + ": the colour must look like #12ab34");
            continue;
        }
        if (c.command.empty() || c.command.front().empty()) {
            log("Ignored " + where + ": the command must be a program path or a list of arguments");
            continue;
        }
        if (loaded.size() + 3 >= maxProviders) {
            log("Ignored " + where + ": at most " + std::to_string(maxProviders - 3) + " providers");
            continue;
        }
        seen.push_back(c.provider.id);
        c.provider.status = "not_configured";
        c.provider.displayValue = "Checking";
        loaded.push_back(std::move(c));
    }
    return loaded;
}

bool QuotaService::reloadIfChanged() {
    if (dataDirectory_.empty()) return false;
    namespace fs = std::filesystem;
    const fs::path path = fs::path(dataDirectory_) / "quotas.json";
    std::error_code ec;
    const auto time = fs::last_write_time(path, ec);
    std::optional<std::pair<int64_t, int64_t>> stamp;
    if (!ec) {
        const auto size = fs::file_size(path, ec);
        if (!ec) stamp = std::pair<int64_t, int64_t>(time.time_since_epoch().count(), static_cast<int64_t>(size));
    }
    if (quotasFileSeen_ && stamp == quotasFileStamp_) return false;
    quotasFileSeen_ = true;
    quotasFileStamp_ = stamp;

    std::vector<Configured> loaded;
    if (stamp) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        loaded = parseQuotasFile(text.str(), log_);
    }
    std::lock_guard lock(mutex_);
    configured_ = std::move(loaded);
    return true;
}

void QuotaService::runAll() {
    std::vector<Configured> work;
    {
        std::lock_guard lock(mutex_);
        work = configured_;
    }
    for (auto& c : work) {
        if (stopping_) return;
        const auto result = QuotaCommand::run(c.command, timing_.commandTimeout, dataDirectory_, &cancellation_);
        if (result.outcome == QuotaCommand::Outcome::cancelled) return;
        QuotaProvider p = c.provider;
        if (result.outcome == QuotaCommand::Outcome::notFound) {
            p.status = "not_configured";
            p.percent.reset();
            p.displayValue = "Not set up";
        } else if (result.outcome != QuotaCommand::Outcome::exited || result.exitStatus != 0) {
            p.status = "error";
            p.percent.reset();
            p.displayValue = result.outcome == QuotaCommand::Outcome::timedOut ? "Timed out" : "Error";
        } else {
            p = resultFromOutput(p, result.output);
        }
        std::lock_guard lock(mutex_);
        for (auto& current : configured_) {
            // The file may have been reloaded meanwhile; only a provider still there is updated.
            if (current.provider.id == p.id && current.command == c.command) current.provider = p;
        }
    }
}

bool QuotaService::waitForWork(int watchFd, bool watching, std::chrono::steady_clock::time_point nextRun) {
    using namespace std::chrono;
    bool hasCommands;
    {
        std::lock_guard lock(mutex_);
        hasCommands = !configured_.empty();
    }
    auto wakeAt = hasCommands ? nextRun : steady_clock::time_point::max();
    if (!watching) wakeAt = std::min(wakeAt, steady_clock::now() + timing_.fileCheckInterval);
    for (;;) {
        if (stopping_) return false;
        int timeout = -1;
        if (wakeAt != steady_clock::time_point::max()) {
            const auto left = duration_cast<milliseconds>(wakeAt - steady_clock::now()).count();
            timeout = left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
        }
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {watchFd, POLLIN, 0}};
        const int ready = poll(fds, watching ? 2 : 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (stopping_) return false;
        if (ready > 0 && watching && (fds[1].revents & POLLIN)) {
            // Only which folder changed matters; reloadIfChanged looks at the file itself.
            alignas(inotify_event) char events[4096];
            while (read(watchFd, events, sizeof events) > 0) {
            }
        }
        return true;
    }
}

void QuotaService::loop() {
    int watchFd = -1;
    bool watching = false;
    if (!dataDirectory_.empty()) {
        watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        watching = watchFd >= 0 && inotify_add_watch(watchFd, dataDirectory_.c_str(),
                                                     IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                                         IN_DELETE | IN_ATTRIB | IN_ONLYDIR) >= 0;
    }
    auto nextRun = std::chrono::steady_clock::now();
    for (;;) {
        if (reloadIfChanged()) nextRun = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() >= nextRun) {
            runAll();
            nextRun = std::chrono::steady_clock::now() + timing_.refreshInterval;
        }
        if (!waitForWork(watchFd, watching, nextRun)) break;
    }
    if (watchFd >= 0) close(watchFd);
}
