// The network stage: runs the network statistics tool with firm limits and parses its CSV.
#include <charconv>
#include <limits>

#include "platform/NullDevice.h"
#include "platform/Process.h"
#include "platform/Signals.h"
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
    auto pipe = std::make_shared<platform::Pipe>();
    auto output = std::make_shared<CommandOutput>();
    // Shared with callbacks that may outlive this call (a late exit, a reader still blocked).
    auto exited = std::make_shared<platform::Semaphore>(0);
    auto readDone = std::make_shared<platform::Semaphore>(0);

    if (shouldSimulateNetworkHang_) {
        shouldSimulateNetworkHang_ = false;
        process->executablePath = "/bin/sleep";
        process->arguments = {"60"};
    } else {
        process->executablePath = networkCommandPath();
        process->arguments = toolArguments;
    }
    process->standardOutput = pipe;
    process->standardError = platform::nullDevice();
    process->setTerminationHandler([exited](platform::Process&) { exited->signal(); });

    if (auto error = process->run()) {
        logFailureIfNeeded(*error);
        return {};
    }
    const auto reading = pipe->fileHandleForReading();
    platform::DispatchQueue::utility()->async([reading, output, readDone] {
        std::string data = reading->readDataToEndOfFile();
        {
            std::lock_guard<std::mutex> guard(output->lock);
            output->data = std::move(data);
        }
        readDone->signal();
    });

    if (exited->waitFor(configuration_.networkSampleTimeout)) {
        if (!readDone->waitFor(configuration_.outputTimeout)) {
            reading->closeFile();
            logFailureIfNeeded(ProcessSamplerError::commandTimeout("reading nettop output").asError());
            return {};
        }
        if (process->terminationStatus() != 0) return {};
        std::string data;
        {
            std::lock_guard<std::mutex> guard(output->lock);
            data = output->data;
        }
        if (!platform::isValidUTF8(data)) return {};
        networkReadSucceeded_ = true;
        return parseNetworkUsage(data);
    }

    process->terminate();
    if (!exited->waitFor(configuration_.terminationGrace) && process->sendSignal(platform::killSignal))
        exited->waitFor(configuration_.killGrace);
    if (!readDone->waitFor(configuration_.drainGrace)) reading->closeFile();
    logFailureIfNeeded(ProcessSamplerError::commandTimeout("nettop").asError());
    return {};
}
