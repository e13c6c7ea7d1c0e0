// Per-process usage, rates and the selection of the busiest processes.
#include <algorithm>
#include <map>

#include "platform/ProcessTable.h"
#include "processes/NativeProcessSampler.h"

namespace {

uint64_t clampedDelta(uint64_t current, uint64_t previous) { return current >= previous ? current - previous : 0; }

void appendReplacementCharacter(std::string& out) { out += "\xEF\xBF\xBD"; }

// The bytes at bytes[i] that form one character, or (invalid) the maximal prefix of one
// that is replaced by a single U+FFFD, as Unicode recommends.
struct Sequence {
    size_t length;
    bool valid;
};

Sequence sequenceAt(std::string_view bytes, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return {1, true};
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, false};
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= bytes.size()) return {k, false};
        const unsigned char next = byte(i + k);
        if (k == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) return {k, false};
    }
    return {length, true};
}

}  // namespace

uint64_t NativeProcessSampler::nanoseconds(uint64_t ticks, Timebase timebase) {
    const uint64_t d = timebase.denom > 1 ? timebase.denom : 1;
    return (ticks / d) * timebase.numer + ((ticks % d) * timebase.numer) / d;
}

std::string NativeProcessSampler::decodeName(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const auto sequence = sequenceAt(bytes, i);
        if (sequence.valid)
            out.append(bytes.substr(i, sequence.length));
        else
            appendReplacementCharacter(out);
        i += sequence.length;
    }
    return out;
}

NativeProcessSampler::UsageMap NativeProcessSampler::readAllProcessUsage() {
    UsageMap usage;
    if (!processTable_) processTable_ = std::make_unique<platform::ProcessTable>(configuration_.procRoot);
    std::vector<platform::ProcessRecord>& records = processRecords_;
    if (!processTable_->readAll(records) || records.empty()) return usage;
    usage.reserve(records.size());
    for (const auto& record : records) {
        if (record.pid < 1) continue;
        RawUsage raw;
        raw.pid = record.pid;
        raw.name = decodeName(record.name);
        raw.startTime = record.startTime;
        raw.cpuTime = nanoseconds(record.cpuTicks, machTimebase_);
        raw.residentBytes = record.footprintBytes;
        raw.diskReadBytes = record.readBytes;
        raw.diskWriteBytes = record.writeBytes;
        usage.insert_or_assign(record.pid, std::move(raw));
    }
    return usage;
}

std::vector<NativeProcessSampler::ProcessEntry> NativeProcessSampler::makeEntries(
    const UsageMap& usage, const UsageMap& previousUsage, const NetworkMap& network,
    const NetworkMap& previousNetwork, double elapsedSeconds, uint64_t totalMemory, bool previousNetworkComplete) {
    std::vector<ProcessEntry> entries;
    entries.reserve(usage.size());
    for (const auto& [pid, current] : usage) {
        ProcessEntry entry;
        entry.pid = current.pid;
        entry.name = current.name;

        const auto previous = previousUsage.find(current.pid);
        const bool comparable = previous != previousUsage.end() && previous->second.startTime == current.startTime;
        uint64_t cpuDelta = 0, readDelta = 0, writeDelta = 0;
        if (comparable) {
            cpuDelta = clampedDelta(current.cpuTime, previous->second.cpuTime);
            readDelta = clampedDelta(current.diskReadBytes, previous->second.diskReadBytes);
            writeDelta = clampedDelta(current.diskWriteBytes, previous->second.diskWriteBytes);
        }
        entry.cpuPercent = (static_cast<double>(cpuDelta) / 1e9 / elapsedSeconds) * 100;
        entry.memoryBytes = current.residentBytes;
        entry.memoryPercent = (static_cast<double>(current.residentBytes) / static_cast<double>(totalMemory)) * 100;
        entry.diskReadBps = static_cast<double>(readDelta) / elapsedSeconds;
        entry.diskWriteBps = static_cast<double>(writeDelta) / elapsedSeconds;

        if (comparable) {
            NetworkUsage now;
            if (const auto found = network.find(current.pid); found != network.end()) now = found->second;
            const auto before = previousNetwork.find(current.pid);
            if (before != previousNetwork.end() || previousNetworkComplete) {
                const NetworkUsage then = before != previousNetwork.end() ? before->second : NetworkUsage{};
                entry.downloadBps =
                    static_cast<double>(clampedDelta(now.receivedBytes, then.receivedBytes)) / elapsedSeconds;
                entry.uploadBps =
                    static_cast<double>(clampedDelta(now.transmittedBytes, then.transmittedBytes)) / elapsedSeconds;
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<NativeProcessSampler::ProcessEntry> NativeProcessSampler::selectTopEntries(
    const std::vector<ProcessEntry>& entries) {
    using Measure = double (*)(const ProcessEntry&);
    static constexpr Measure measures[] = {
        [](const ProcessEntry& e) { return e.cpuPercent; },
        [](const ProcessEntry& e) { return e.memoryPercent; },
        [](const ProcessEntry& e) { return e.diskReadBps + e.diskWriteBps; },
        [](const ProcessEntry& e) { return e.downloadBps + e.uploadBps; },
    };
    std::map<int32_t, const ProcessEntry*> selected;
    std::vector<const ProcessEntry*> order;
    order.reserve(entries.size());
    for (const Measure measure : measures) {
        order.clear();
        for (const auto& entry : entries) order.push_back(&entry);
        std::stable_sort(order.begin(), order.end(),
                         [measure](const ProcessEntry* a, const ProcessEntry* b) { return measure(*a) > measure(*b); });
        const size_t count = std::min(entriesPerMeasure, order.size());
        for (size_t i = 0; i < count; ++i) selected[order[i]->pid] = order[i];
    }
    std::vector<ProcessEntry> result;
    result.reserve(selected.size());
    for (const auto& [pid, entry] : selected) result.push_back(*entry);
    return result;
}
