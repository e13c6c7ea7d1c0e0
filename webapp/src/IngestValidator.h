#pragma once
// Turns the JSON bodies of the two ingest endpoints into records, or says what is wrong.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
    // What one body may hold: the app sends one sample a second and at most 32 processes
    // every two seconds; anything far beyond is not ours.
    static constexpr size_t maxSamplesPerBody = 60;
    static constexpr size_t maxProcessesPerBody = 64;
    static constexpr size_t maxNameBytes = 256;
    static constexpr size_t maxDepth = 8;
    static constexpr size_t maxValues = 4096;

    // A body as it arrived: refused before parsing when nested deeper than maxDepth or
    // holding more than maxValues values, so no input builds a large tree.
    static std::optional<std::vector<MetricSample>> parseMetricsText(std::string_view text, std::string& error);
    static std::optional<ProcessSnapshot> parseProcessesText(std::string_view text, std::string& error);
    // The JSON value of a text within those bounds, or nothing with a reason.
    static std::optional<nlohmann::json> parseBounded(std::string_view text, std::string& error);

    // Each returns the records, or nothing with a short reason in error.
    static std::optional<std::vector<MetricSample>> parseMetricsBody(const nlohmann::json& body,
                                                                     std::string& error);
    static std::optional<ProcessSnapshot> parseProcessesBody(const nlohmann::json& body, std::string& error);

    static nlohmann::json toJSON(const MetricSample& sample);
    static nlohmann::json toJSON(const ProcessEntry& entry);
};
