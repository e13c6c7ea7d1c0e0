#include "LiveState.h"

void LiveState::recordSample(const MetricSample& sample) {
    std::lock_guard lock(mutex_);
    // A late sample never replaces a newer one.
    if (!sample_ || sample.ts >= sample_->ts) sample_ = sample;
    ++revision_;
}

void LiveState::recordProcesses(ProcessSnapshot snapshot) {
    std::lock_guard lock(mutex_);
    if (!processes_ || snapshot.sampledAt >= processes_->sampledAt) processes_ = std::move(snapshot);
    ++revision_;
}

std::optional<MetricSample> LiveState::latestSample() const {
    std::lock_guard lock(mutex_);
    return sample_;
}

std::optional<ProcessSnapshot> LiveState::latestProcesses() const {
    std::lock_guard lock(mutex_);
    return processes_;
}

uint64_t LiveState::revision() const {
    std::lock_guard lock(mutex_);
    return revision_;
}
