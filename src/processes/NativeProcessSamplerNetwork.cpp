// The network stage: runs the network statistics tool with firm limits and parses its CSV.
#include <charconv>
#include <limits>

#include "platform/NullDevice.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "processes/NativeProcessSampler.h"

namespace {

const std::vector<std::string> toolArguments = {"-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"};

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        if (comma == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// An optional single "+" or "-", then digits, within 32 bits.
std::optional<int32_t> parsePid(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (!allDigits(text)) return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    if (magnitude > limit) return std::nullopt;
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

// An optional "+", then digits, within 64 bits unsigned.
std::optional<uint64_t> parseCount(std::string_view text) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (!allDigits(text)) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

NativeProcessSampler::NetworkMap NativeProcessSampler::parseNetworkUsage(const std::string& text) {
    NetworkMap result;
    for (const auto& line : platform::splitLines(text)) {
        const auto fields = splitFields(line);
        if (fields.size() < 3) continue;
        const std::string_view label = fields[0];
        const size_t dot = label.rfind('.');
        if (dot == std::string_view::npos || dot + 1 == label.size()) continue;
        const auto pid = parsePid(label.substr(dot + 1));
        if (!pid) continue;
        const auto received = parseCount(fields[1]);
        if (!received) continue;
        const auto transmitted = parseCount(fields[2]);
        if (!transmitted) continue;
        result.insert_or_assign(*pid, NetworkUsage{*received, *transmitted});
    }
    return result;
}

NativeProcessSampler::NetworkMap NativeProcessSampler::readNetworkUsage() {
    networkReadSucceeded_ = false;
    auto process = platform::Process::make();
    if (shouldSimulateNetworkHang_) {
        shouldSimulateNetworkHang_ = false;
        process->executablePath = "/bin/sleep";
        process->arguments = {"60"};
    } else {
        process->executablePath = networkCommandPath();
        process->arguments = toolArguments;
    }
    process->standardError = platform::nullDevice();

    // Runs on this queue's thread: no reader or reaper thread wakes for a tool run.
    platform::Process::CollectionLimits limits;
    limits.exitTimeout = configuration_.networkSampleTimeout;
    limits.outputTimeout = configuration_.outputTimeout;
    limits.terminationGrace = configuration_.terminationGrace;
    limits.killGrace = configuration_.killGrace;
    limits.drainGrace = configuration_.drainGrace;
    limits.maximumOutput = configuration_.maximumNetworkOutput;
    auto run = process->runCollectingOutput(limits);
    if (const auto* error = std::get_if<platform::Error>(&run)) {
        logFailureIfNeeded(*error);
        return {};
    }
    auto& output = std::get<platform::Process::CollectedOutput>(run);
    switch (output.ending) {
        case platform::Process::CollectedOutput::Ending::complete:
            break;
        case platform::Process::CollectedOutput::Ending::outputTimedOut:
            logFailureIfNeeded(ProcessSamplerError::commandTimeout("reading nettop output").asError());
            return {};
        case platform::Process::CollectedOutput::Ending::exitTimedOut:
            logFailureIfNeeded(ProcessSamplerError::commandTimeout("nettop").asError());
            return {};
    }
    if (process->terminationStatus() != 0) return {};
    if (!platform::isValidUTF8(output.data)) return {};
    networkReadSucceeded_ = true;
    return parseNetworkUsage(output.data);
}
