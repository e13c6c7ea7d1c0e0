#pragma once
// Internal to the platform layer: starts children from one thread that lives as long
// as the process, so a parent-death signal tied to the starting thread only fires when
// the whole process goes away. A caller that waits for its child to end may start it
// from its own thread instead and spare the spawner's hand-over.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SpawnRequest {
    std::string path;
    std::vector<std::string> arguments;  // argv[0] included
    std::optional<std::vector<std::string>> environment;  // "NAME=value"; absent: inherit
    std::optional<std::string> directory;
    int standardOutput = -1;  // -1: inherited
    int standardError = -1;
    bool detached = false;  // no parent-death signal
    // The parent-death signal is then tied to the calling thread, which therefore has
    // to outlive the child.
    bool fromCallingThread = false;
};

struct SpawnResult {
    pid_t pid = -1;
    int error = 0;  // errno of the failed step when pid is -1
    enum class Step { none, setup, directory, exec } failedStep = Step::none;
};

// Blocks until the child has exec'd or failed to.
SpawnResult spawnProcess(const SpawnRequest& request);

}  // namespace platform
