#pragma once
// Decides at start-up whether this launch runs Tidemark or hands over to the Tidemark the
// same user already runs.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/SingleInstance.h"

class LaunchGate {
public:
    // Takes the one-instance lock. When another instance holds it, asks that one to open
    // its panel, prints its answer and returns the exit status for this launch. Nothing:
    // run; `instance` then holds the lock (or is empty when the lock could not be used,
    // which is logged and does not stop the launch).
    static std::optional<int> enter(std::unique_ptr<platform::SingleInstance>& instance);

    // Answers later launches with `onOpenRequest` (run on the main queue; returns the line
    // they print). Does nothing without a held lock.
    static void listen(platform::SingleInstance* instance, std::function<std::string()> onOpenRequest);
};
