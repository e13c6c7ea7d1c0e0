#pragma once
// The newest system sample and process list, shared between request threads.
#include "IngestValidator.h"

#include <mutex>
#include <optional>

class LiveState {
public:
    void recordSample(const MetricSample& sample);
    void recordProcesses(ProcessSnapshot snapshot);
    std::optional<MetricSample> latestSample() const;
    std::optional<ProcessSnapshot> latestProcesses() const;
    // Counts ingests, so the page can tell whether anything new arrived.
    uint64_t revision() const;

private:
    mutable std::mutex mutex_;
    std::optional<MetricSample> sample_;
    std::optional<ProcessSnapshot> processes_;
    uint64_t revision_ = 0;
};
