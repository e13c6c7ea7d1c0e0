// The bodies of the two ingest endpoints, as the server reads them before storing.
#include <cmath>

#include "IngestValidator.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the endpoint, the rest is the body.
    const auto body = nlohmann::json::parse(data + 1, data + size, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return 0;
    std::string error;
    if (data[0] & 1) {
        if (auto samples = IngestValidator::parseMetricsBody(body, error))
            for (const auto& sample : *samples) {
                if (!std::isfinite(sample.cpuUsage) || !std::isfinite(sample.rxBps)) fuzz::fail("a non-finite metric stored");
                (void)IngestValidator::toJSON(sample).dump();
            }
    } else {
        if (auto snapshot = IngestValidator::parseProcessesBody(body, error))
            for (const auto& entry : snapshot->processes) (void)IngestValidator::toJSON(entry).dump();
    }
    return 0;
}
