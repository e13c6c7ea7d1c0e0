#pragma once
#include <memory>

#include "platform/URLSession.h"

namespace platform {

class DispatchQueue;

// A session on libcurl, loaded at the first call. queue: a serial queue that can watch
// descriptors (transfers and completions run on it), or null for a session thread.
std::shared_ptr<URLSession> makeCurlSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue);

}  // namespace platform
