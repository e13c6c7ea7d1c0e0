#pragma once
// Turns the JSON bodies of the two ingest endpoints into records, or says what is wrong.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct MetricSample {
    int64_t ts = 0;
    int64_t intervalMs = 0;
    double cpuUsage = 0;
    uint64_t memoryUsed = 0;
    uint64_t memoryTotal = 0;
    double memoryPercent = 0;
    double rxBps = 0;
    double txBps = 0;
    uint64_t diskUsed = 0;
    uint64_t diskTotal = 0;
    double diskPercent = 0;
};

struct ProcessEntry {
    int32_t pid = 0;
    std::string name;
    double cpuPercent = 0;
    uint64_t memoryBytes = 0;
    double memoryPercent = 0;
    double diskReadBps = 0;
    double diskWriteBps = 0;
    double downloadBps = 0;
    double uploadBps = 0;
};

struct ProcessSnapshot {
    int64_t sampledAt = 0;
    std::vector<ProcessEntry> processes;
};

class IngestValidator {
public:
    // Each returns the records, or nothing with a short reason in error.
    static std::optional<std::vector<MetricSample>> parseMetricsBody(const nlohmann::json& body,
                                                                     std::string& error);
    static std::optional<ProcessSnapshot> parseProcessesBody(const nlohmann::json& body, std::string& error);

    static nlohmann::json toJSON(const MetricSample& sample);
    static nlohmann::json toJSON(const ProcessEntry& entry);
};
