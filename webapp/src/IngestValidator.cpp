#include "IngestValidator.h"

#include <cmath>
#include <limits>

using nlohmann::json;

namespace {

// Reads the fields of one object, remembering the first thing that does not fit.
class FieldReader {
public:
    FieldReader(const json& object, std::string where) : object_(object), where_(std::move(where)) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    int64_t signedInteger(const char* key, int64_t minimum) {
        const json* value = find(key);
        if (!value) return 0;
        if (!value->is_number_integer()) return fail(key, "must be an integer"), 0;
        if (value->is_number_unsigned() &&
            value->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return fail(key, "is out of range"), 0;
        }
        const int64_t result = value->get<int64_t>();
        if (result < minimum) return fail(key, "is out of range"), 0;
        return result;
    }

    uint64_t unsignedInteger(const char* key) {
        const json* value = find(key);
        if (!value) return 0;
        if (!value->is_number_integer()) return fail(key, "must be an integer"), 0;
        if (!value->is_number_unsigned() && value->get<int64_t>() < 0) return fail(key, "must not be negative"), 0;
        return value->get<uint64_t>();
    }

    double number(const char* key, double minimum, double maximum) {
        const json* value = find(key);
        if (!value) return 0;
        if (!value->is_number()) return fail(key, "must be a number"), 0;
        const double result = value->get<double>();
        if (!std::isfinite(result) || result < minimum || result > maximum) return fail(key, "is out of range"), 0;
        return result;
    }

    std::string string(const char* key, size_t maxBytes) {
        const json* value = find(key);
        if (!value) return {};
        if (!value->is_string()) return fail(key, "must be a string"), std::string();
        if (value->get_ref<const std::string&>().size() > maxBytes) return fail(key, "is too long"), std::string();
        return value->get<std::string>();
    }

private:
    const json* find(const char* key) {
        if (!ok()) return nullptr;
        auto it = object_.find(key);
        if (it == object_.end()) {
            fail(key, "is missing");
            return nullptr;
        }
        return &*it;
    }

    void fail(const char* key, const char* what) {
        if (ok()) error_ = where_ + "." + key + " " + what;
    }

    const json& object_;
    std::string where_;
    std::string error_;
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

std::optional<std::vector<MetricSample>> IngestValidator::parseMetricsBody(const json& body, std::string& error) {
    if (!body.is_object()) {
        error = "body must be a JSON object";
        return std::nullopt;
    }
    auto samples = body.find("samples");
    if (samples == body.end() || !samples->is_array()) {
        error = "samples must be a list";
        return std::nullopt;
    }
    if (samples->size() > maxSamplesPerBody) {
        error = "at most " + std::to_string(maxSamplesPerBody) + " samples per body";
        return std::nullopt;
    }
    std::vector<MetricSample> result;
    result.reserve(samples->size());
    for (size_t i = 0; i < samples->size(); ++i) {
        const json& item = (*samples)[i];
        const std::string where = "samples[" + std::to_string(i) + "]";
        if (!item.is_object()) {
            error = where + " must be an object";
            return std::nullopt;
        }
        FieldReader r(item, where);
        MetricSample s;
        s.ts = r.signedInteger("ts", 0);
        s.intervalMs = r.signedInteger("intervalMs", 0);
        s.cpuUsage = r.number("cpuUsage", 0, 100);
        s.memoryUsed = r.unsignedInteger("memoryUsed");
        s.memoryTotal = r.unsignedInteger("memoryTotal");
        s.memoryPercent = r.number("memoryPercent", 0, 100);
        s.rxBps = r.number("rxBps", 0, kInfinity);
        s.txBps = r.number("txBps", 0, kInfinity);
        s.diskUsed = r.unsignedInteger("diskUsed");
        s.diskTotal = r.unsignedInteger("diskTotal");
        s.diskPercent = r.number("diskPercent", 0, 100);
        if (!r.ok()) {
            error = r.error();
            return std::nullopt;
        }
        result.push_back(s);
    }
    return result;
}

std::optional<ProcessSnapshot> IngestValidator::parseProcessesBody(const json& body, std::string& error) {
    if (!body.is_object()) {
        error = "body must be a JSON object";
        return std::nullopt;
    }
    ProcessSnapshot snapshot;
    FieldReader top(body, "body");
    snapshot.sampledAt = top.signedInteger("sampledAt", 0);
    if (!top.ok()) {
        error = top.error();
        return std::nullopt;
    }
    auto processes = body.find("processes");
    if (processes == body.end() || !processes->is_array()) {
        error = "processes must be a list";
        return std::nullopt;
    }
    if (processes->size() > maxProcessesPerBody) {
        error = "at most " + std::to_string(maxProcessesPerBody) + " processes per body";
        return std::nullopt;
    }
    snapshot.processes.reserve(processes->size());
    for (size_t i = 0; i < processes->size(); ++i) {
        const json& item = (*processes)[i];
        const std::string where = "processes[" + std::to_string(i) + "]";
        if (!item.is_object()) {
            error = where + " must be an object";
            return std::nullopt;
        }
        FieldReader r(item, where);
        ProcessEntry e;
        e.pid = static_cast<int32_t>(r.signedInteger("pid", std::numeric_limits<int32_t>::min()));
        if (r.ok() && item["pid"].get<int64_t>() > std::numeric_limits<int32_t>::max()) {
            error = where + ".pid is out of range";
            return std::nullopt;
        }
        e.name = r.string("name", maxNameBytes);
        e.cpuPercent = r.number("cpuPercent", 0, kInfinity);
        e.memoryBytes = r.unsignedInteger("memoryBytes");
        e.memoryPercent = r.number("memoryPercent", 0, kInfinity);
        e.diskReadBps = r.number("diskReadBps", 0, kInfinity);
        e.diskWriteBps = r.number("diskWriteBps", 0, kInfinity);
        e.downloadBps = r.number("downloadBps", 0, kInfinity);
        e.uploadBps = r.number("uploadBps", 0, kInfinity);
        if (!r.ok()) {
            error = r.error();
            return std::nullopt;
        }
        snapshot.processes.push_back(std::move(e));
    }
    return snapshot;
}

std::optional<json> IngestValidator::parseBounded(std::string_view text, std::string& error) {
    // Counts nesting and values outside strings; the parser then never sees more.
    size_t depth = 0, values = 1;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                error = "nested deeper than " + std::to_string(maxDepth) + " levels";
                return std::nullopt;
            }
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
        } else if (c == ',' || c == ':') {
            if (++values > maxValues) {
                error = "more than " + std::to_string(maxValues) + " values";
                return std::nullopt;
            }
        }
    }
    json value = json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded()) {
        error = "malformed JSON";
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<MetricSample>> IngestValidator::parseMetricsText(std::string_view text, std::string& error) {
    auto value = parseBounded(text, error);
    if (!value) return std::nullopt;
    return parseMetricsBody(*value, error);
}

std::optional<ProcessSnapshot> IngestValidator::parseProcessesText(std::string_view text, std::string& error) {
    auto value = parseBounded(text, error);
    if (!value) return std::nullopt;
    return parseProcessesBody(*value, error);
}

json IngestValidator::toJSON(const MetricSample& s) {
    return json{{"ts", s.ts},
                {"intervalMs", s.intervalMs},
                {"cpuUsage", s.cpuUsage},
                {"memoryUsed", s.memoryUsed},
                {"memoryTotal", s.memoryTotal},
                {"memoryPercent", s.memoryPercent},
                {"rxBps", s.rxBps},
                {"txBps", s.txBps},
                {"diskUsed", s.diskUsed},
                {"diskTotal", s.diskTotal},
                {"diskPercent", s.diskPercent}};
}

json IngestValidator::toJSON(const ProcessEntry& e) {
    return json{{"pid", e.pid},
                {"name", e.name},
                {"cpuPercent", e.cpuPercent},
                {"memoryBytes", e.memoryBytes},
                {"memoryPercent", e.memoryPercent},
                {"diskReadBps", e.diskReadBps},
                {"diskWriteBps", e.diskWriteBps},
                {"downloadBps", e.downloadBps},
                {"uploadBps", e.uploadBps}};
}
