#pragma once
// Keeps system samples for the history view: raw samples for 24 hours and one-minute
// rollups for 30 days, in SQLite in the data directory or, when that cannot be written,
// in memory. Range queries answer with at most maxPoints points.
#include "IngestValidator.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One stored row: a raw sample (count 1) or a minute's averages (count = samples in it).
struct HistoryRow {
    int64_t ts = 0;
    int64_t count = 1;
    double cpu = 0;
    double memoryPercent = 0;
    double memoryUsed = 0;
    double diskPercent = 0;
    double rxBps = 0;
    double txBps = 0;
};

struct HistorySeries {
    int64_t startMs = 0;
    int64_t endMs = 0;
    int64_t bucketMs = 0;
    std::vector<HistoryRow> points;
};

// Where rows live; SQLiteHistory and MemoryHistory implement it.
class HistoryBackend {
public:
    virtual ~HistoryBackend() = default;
    // Each returns false when the store failed (the caller then falls back).
    // All or none of the samples.
    virtual bool insert(const std::vector<MetricSample>& samples) = 0;
    virtual bool prune(int64_t rawCutoffMs, int64_t minuteCutoffMs) = 0;
    virtual std::vector<HistoryRow> rawRows(int64_t fromMs, int64_t toMs) = 0;
    virtual std::vector<HistoryRow> minuteRows(int64_t fromMs, int64_t toMs) = 0;
    virtual int64_t newestTimestamp() = 0;
};

class HistoryStore {
public:
    static constexpr int64_t rawRetentionMs = 24LL * 3600 * 1000;
    static constexpr int64_t minuteRetentionMs = 30LL * 24 * 3600 * 1000;
    static constexpr size_t maxPoints = 600;

    using Clock = std::function<int64_t()>;  // wall clock, ms since the epoch
    using LogFunction = std::function<void(const std::string&)>;

    // An empty directory keeps history in memory from the start.
    HistoryStore(const std::string& dataDirectory, LogFunction log, Clock clock = {});
    ~HistoryStore();

    void record(const MetricSample& sample) { record(std::vector<MetricSample>{sample}); }
    // One body's samples in one write.
    void record(const std::vector<MetricSample>& samples);
    HistorySeries query(int64_t spanMs, std::optional<int64_t> endMs = std::nullopt);
    bool isPersistent() const;
    // Parses "5m", "1h", "24h", "30d".
    static std::optional<int64_t> parseRange(const std::string& text);

private:
    void fallBackToMemory(const std::string& why);
    int64_t referenceTime(int64_t newest) const;

    mutable std::mutex mutex_;
    LogFunction log_;
    Clock clock_;
    std::unique_ptr<HistoryBackend> backend_;
    bool persistent_ = false;
    int64_t lastPruneMinute_ = -1;
};
