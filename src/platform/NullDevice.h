#pragma once
#include <memory>

#include "platform/Process.h"

namespace platform {

// A stand-in pipe whose ends are both /dev/null, for a child's output that nobody reads
// (fileHandleWithNullDevice). Fresh descriptors each call, closed with the handles.
std::shared_ptr<Pipe> nullDevice();

}  // namespace platform
