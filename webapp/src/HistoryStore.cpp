#include "HistoryStore.h"

#include "MemoryHistory.h"
#include "SQLiteHistory.h"

#include <algorithm>
#include <chrono>

namespace {

int64_t wallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t floorTo(int64_t value, int64_t step) { return value - (((value % step) + step) % step); }

// Weighted averages of the rows in fixed, absolutely aligned buckets.
std::vector<HistoryRow> downsample(const std::vector<HistoryRow>& rows, int64_t bucketMs) {
    std::vector<HistoryRow> points;
    struct Sums {
        int64_t bucket = 0;
        double n = 0, ts = 0, cpu = 0, mp = 0, mu = 0, dp = 0, rx = 0, tx = 0;
    } sums;
    auto flush = [&] {
        if (sums.n <= 0) return;
        points.push_back(HistoryRow{static_cast<int64_t>(sums.ts / sums.n), static_cast<int64_t>(sums.n),
                                    sums.cpu / sums.n, sums.mp / sums.n, sums.mu / sums.n, sums.dp / sums.n,
                                    sums.rx / sums.n, sums.tx / sums.n});
    };
    for (const HistoryRow& row : rows) {
        const int64_t bucket = floorTo(row.ts, bucketMs);
        if (sums.n > 0 && bucket != sums.bucket) {
            flush();
            sums = Sums{};
        }
        sums.bucket = bucket;
        const double w = static_cast<double>(std::max<int64_t>(row.count, 1));
        sums.n += w;
        sums.ts += w * static_cast<double>(row.ts);
        sums.cpu += w * row.cpu;
        sums.mp += w * row.memoryPercent;
        sums.mu += w * row.memoryUsed;
        sums.dp += w * row.diskPercent;
        sums.rx += w * row.rxBps;
        sums.tx += w * row.txBps;
    }
    flush();
    return points;
}

}  // namespace

HistoryStore::HistoryStore(const std::string& dataDirectory, LogFunction log, Clock clock)
    : log_(std::move(log)), clock_(clock ? std::move(clock) : Clock(wallClockMs)) {
    if (dataDirectory.empty()) {
        backend_ = std::make_unique<MemoryHistory>();
        log_("No data directory: history is kept in memory");
        return;
    }
    std::string error;
    backend_ = SQLiteHistory::open(dataDirectory + "/history.sqlite", error);
    if (backend_) {
        persistent_ = true;
        return;
    }
    backend_ = std::make_unique<MemoryHistory>();
    log_("History database unavailable (" + error + "): history is kept in memory");
}

HistoryStore::~HistoryStore() = default;

bool HistoryStore::isPersistent() const {
    std::lock_guard lock(mutex_);
    return persistent_;
}

void HistoryStore::fallBackToMemory(const std::string& why) {
    backend_ = std::make_unique<MemoryHistory>();
    persistent_ = false;
    log_("History database failed (" + why + "): history is kept in memory from now on");
}

int64_t HistoryStore::referenceTime(int64_t newest) const {
    // The newer of the data and the clock would let one bad timestamp wipe the history.
    const int64_t now = clock_();
    return newest > 0 ? std::min(now, newest) : now;
}

void HistoryStore::record(const std::vector<MetricSample>& samples) {
    std::lock_guard lock(mutex_);
    int64_t newest = backend_->newestTimestamp();
    for (const MetricSample& s : samples) newest = std::max(newest, s.ts);
    const int64_t reference = referenceTime(newest);
    // Older than the raw window: its minute could no longer be rebuilt correctly.
    std::vector<MetricSample> kept;
    for (const MetricSample& s : samples) {
        if (s.ts >= reference - rawRetentionMs) kept.push_back(s);
    }
    if (kept.empty()) return;
    if (!backend_->insert(kept)) {
        fallBackToMemory("write failed");
        backend_->insert(kept);
    }
    const int64_t minute = reference / 60000;
    if (minute != lastPruneMinute_) {
        lastPruneMinute_ = minute;
        if (!backend_->prune(reference - rawRetentionMs, reference - minuteRetentionMs)) {
            fallBackToMemory("prune failed");
        }
    }
}

HistorySeries HistoryStore::query(int64_t spanMs, std::optional<int64_t> endMs) {
    std::lock_guard lock(mutex_);
    spanMs = std::clamp<int64_t>(spanMs, 1000, minuteRetentionMs);
    HistorySeries series;
    series.endMs = endMs.value_or(clock_());
    series.startMs = series.endMs - spanMs;
    // One bucket fewer than the limit: aligned buckets may straddle both ends.
    int64_t bucket = (spanMs + static_cast<int64_t>(maxPoints) - 2) / static_cast<int64_t>(maxPoints - 1);
    std::vector<HistoryRow> rows;
    if (bucket < 60000 && spanMs <= rawRetentionMs) {
        rows = backend_->rawRows(series.startMs, series.endMs);
    } else {
        bucket = (bucket + 59999) / 60000 * 60000;
        rows = backend_->minuteRows(floorTo(series.startMs, 60000), series.endMs);
    }
    series.bucketMs = bucket;
    series.points = downsample(rows, bucket);
    return series;
}

std::optional<int64_t> HistoryStore::parseRange(const std::string& text) {
    if (text == "5m") return 5LL * 60 * 1000;
    if (text == "1h") return 3600LL * 1000;
    if (text == "24h") return rawRetentionMs;
    if (text == "30d") return minuteRetentionMs;
    return std::nullopt;
}
