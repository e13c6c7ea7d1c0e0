#pragma once
// History kept in process memory, used when the data directory cannot hold the database.
#include "HistoryStore.h"

#include <deque>
#include <map>

class MemoryHistory final : public HistoryBackend {
public:
    bool insert(const std::vector<MetricSample>& samples) override;
    bool prune(int64_t rawCutoffMs, int64_t minuteCutoffMs) override;
    std::vector<HistoryRow> rawRows(int64_t fromMs, int64_t toMs) override;
    std::vector<HistoryRow> minuteRows(int64_t fromMs, int64_t toMs) override;
    int64_t newestTimestamp() override;

private:
    void add(const MetricSample& sample);
    struct MinuteSums {
        int64_t count = 0;
        double cpu = 0, memoryPercent = 0, memoryUsed = 0, diskPercent = 0, rxBps = 0, txBps = 0;
    };
    std::map<int64_t, HistoryRow> raw_;        // by ts
    std::map<int64_t, MinuteSums> minutes_;    // by minute start
};
