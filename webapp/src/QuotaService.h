#pragma once
// The quota providers shown on the page and in the Dock: cpu, memory and disk from the
// newest sample, plus the commands of quotas.json in the data directory, each run every
// minute with a time limit. Also keeps the "Show in Dock" switch and the selection.
// Its thread sleeps between runs: a change of quotas.json wakes it through inotify.
#include "LiveState.h"
#include "QuotaCommand.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct QuotaProvider {
    std::string id;
    std::string name;
    std::string color;
    std::string status;  // "ok", "not_configured", "error"
    std::optional<double> percent;
    std::string displayValue;
    bool builtIn = false;
};

struct DockSettings {
    bool showInDock = false;
    std::string selection = "auto";
};

class QuotaService {
public:
    struct Timing {
        std::chrono::milliseconds refreshInterval{60000};
        std::chrono::milliseconds commandTimeout{5000};
        // Only where the data folder cannot be watched.
        std::chrono::milliseconds fileCheckInterval{2000};
    };
    static constexpr size_t maxProviders = 32;  // what the Dock accepts
    using LogFunction = std::function<void(const std::string&)>;

    QuotaService(std::string dataDirectory, const LiveState& live, LogFunction log, Timing timing);
    QuotaService(std::string dataDirectory, const LiveState& live, LogFunction log)
        : QuotaService(std::move(dataDirectory), live, std::move(log), Timing{}) {}
    ~QuotaService();

    void start();
    // Ends a running command at once (its whole group) and returns without waiting on it.
    void stop();

    std::vector<QuotaProvider> providers() const;
    DockSettings dockSettings() const;
    // Validates and stores; false (nothing changed) when the body does not fit.
    bool updateDockSettings(const nlohmann::json& body, std::string& error);
    // The "dockQuota" message body for the native side.
    nlohmann::json dockPayload() const;

    // Parses one command's output; exposed for tests.
    static QuotaProvider resultFromOutput(QuotaProvider provider, const std::string& output);
    static bool isValidId(const std::string& id);
    static size_t characterCount(const std::string& utf8);
    static std::string trim(const std::string& text);

    // One command of quotas.json: the provider it fills and its program with arguments.
    struct Configured {
        QuotaProvider provider;  // last result
        std::vector<std::string> command;
    };
    // The usable entries of a quotas.json text; each entry left out is logged once.
    static std::vector<Configured> parseQuotasFile(const std::string& text, const LogFunction& log);

private:
    void loop();
    // Sleeps until the next run, a change in the data folder, or stop(); false on stop.
    bool waitForWork(int watchFd, bool watching, std::chrono::steady_clock::time_point nextRun);
    void removeStaleTemporaries();
    bool reloadIfChanged();
    void runAll();
    void loadDockSettings();
    bool saveDockSettings(const DockSettings& settings);

    std::string dataDirectory_;
    const LiveState& live_;
    LogFunction log_;
    Timing timing_;

    mutable std::mutex mutex_;
    std::vector<Configured> configured_;
    DockSettings dock_;
    bool dockWriteFailedLogged_ = false;
    std::optional<std::pair<int64_t, int64_t>> quotasFileStamp_;  // mtime ns, size
    bool quotasFileSeen_ = false;

    std::atomic<bool> stopping_{false};
    int stopFd_ = -1;  // readable once stop() was called
    QuotaCommand::Cancellation cancellation_;
    std::thread thread_;
};
