#include "app/LaunchGate.h"

#include <chrono>
#include <cstdlib>

#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"

namespace {

// A relaunch after an update waits this long for the quitting instance (its server stop
// takes at most a few seconds).
constexpr auto relaunchWait = std::chrono::seconds(30);
constexpr auto requestTimeout = std::chrono::seconds(10);

}  // namespace

std::optional<int> LaunchGate::enter(std::unique_ptr<platform::SingleInstance>& instance) {
    const bool relaunched = platform::environmentEquals(platform::SingleInstance::relaunchVariable, "1");
    // Not for our children, nor for a later relaunch of this process.
    ::unsetenv(platform::SingleInstance::relaunchVariable);
    auto acquired = platform::SingleInstance::acquire(platform::runtimeDirectory(),
                                                      relaunched ? relaunchWait : std::chrono::milliseconds(0));
    if (auto* error = std::get_if<platform::Error>(&acquired)) {
        platform::log("[Tidemark] Could not check for another running Tidemark: " + error->description);
        return std::nullopt;
    }
    instance = std::move(std::get<std::unique_ptr<platform::SingleInstance>>(acquired));
    if (instance->isPrimary()) return std::nullopt;

    platform::log("[Tidemark] Tidemark is already running; asking it to open its panel");
    auto answer = instance->requestOpen(requestTimeout);
    if (auto* error = std::get_if<platform::Error>(&answer)) {
        platform::log("[Tidemark] The running Tidemark did not answer: " + error->description);
        return 1;
    }
    if (const auto& line = std::get<std::string>(answer); !line.empty()) platform::log(line);
    return 0;
}

void LaunchGate::listen(platform::SingleInstance* instance, std::function<std::string()> onOpenRequest) {
    if (!instance || !instance->isPrimary()) return;
    if (auto error = instance->startListening(std::move(onOpenRequest)))
        platform::log("[Tidemark] Later launches cannot reach this one: " + error->description);
}
