#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Records that this process reaped its child pid. The pid was handed out like any other,
// but nothing holds it now.
void noteReapedChild(int32_t pid);

// Whether any process or thread may have started since the last look, judged by the last
// pid the system handed out (the fifth field of <root>/loadavg). Pids handed out since
// then to this process's own children, already reaped, do not count: a reader that starts
// a short-lived tool between two looks still sees nothing new.
class ProcessStarts {
public:
    explicit ProcessStarts(std::string root) : root_(std::move(root)) {}

    // True when nothing can have started since the previous look; false on the first
    // look, when the pids wrapped around, or when loadavg cannot be read.
    bool noneSinceLastLook();

private:
    std::string root_;
    std::optional<int32_t> last_;
    uint64_t reapMark_ = 0;
};

}  // namespace platform
