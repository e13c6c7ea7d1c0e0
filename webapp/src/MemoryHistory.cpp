#include "MemoryHistory.h"

namespace {

int64_t minuteOf(int64_t ts) { return ts - (((ts % 60000) + 60000) % 60000); }

}  // namespace

bool MemoryHistory::insert(const std::vector<MetricSample>& samples) {
    for (const MetricSample& s : samples) add(s);
    return true;
}

void MemoryHistory::add(const MetricSample& s) {
    HistoryRow row{s.ts, 1, s.cpuUsage, s.memoryPercent, static_cast<double>(s.memoryUsed),
                   s.diskPercent, s.rxBps, s.txBps};
    MinuteSums& sums = minutes_[minuteOf(s.ts)];
    auto existing = raw_.find(s.ts);
    if (existing != raw_.end()) {
        // Same timestamp again: the newer values replace the older ones.
        const HistoryRow& old = existing->second;
        sums.count -= 1;
        sums.cpu -= old.cpu;
        sums.memoryPercent -= old.memoryPercent;
        sums.memoryUsed -= old.memoryUsed;
        sums.diskPercent -= old.diskPercent;
        sums.rxBps -= old.rxBps;
        sums.txBps -= old.txBps;
    }
    raw_[s.ts] = row;
    sums.count += 1;
    sums.cpu += row.cpu;
    sums.memoryPercent += row.memoryPercent;
    sums.memoryUsed += row.memoryUsed;
    sums.diskPercent += row.diskPercent;
    sums.rxBps += row.rxBps;
    sums.txBps += row.txBps;
}

bool MemoryHistory::prune(int64_t rawCutoffMs, int64_t minuteCutoffMs) {
    raw_.erase(raw_.begin(), raw_.lower_bound(rawCutoffMs));
    minutes_.erase(minutes_.begin(), minutes_.lower_bound(minuteCutoffMs));
    return true;
}

std::vector<HistoryRow> MemoryHistory::rawRows(int64_t fromMs, int64_t toMs) {
    std::vector<HistoryRow> result;
    for (auto it = raw_.lower_bound(fromMs); it != raw_.end() && it->first < toMs; ++it) {
        result.push_back(it->second);
    }
    return result;
}

std::vector<HistoryRow> MemoryHistory::minuteRows(int64_t fromMs, int64_t toMs) {
    std::vector<HistoryRow> result;
    for (auto it = minutes_.lower_bound(fromMs); it != minutes_.end() && it->first < toMs; ++it) {
        const MinuteSums& m = it->second;
        if (m.count <= 0) continue;
        const double n = static_cast<double>(m.count);
        result.push_back(HistoryRow{it->first, m.count, m.cpu / n, m.memoryPercent / n, m.memoryUsed / n,
                                    m.diskPercent / n, m.rxBps / n, m.txBps / n});
    }
    return result;
}

int64_t MemoryHistory::newestTimestamp() { return raw_.empty() ? 0 : raw_.rbegin()->first; }
