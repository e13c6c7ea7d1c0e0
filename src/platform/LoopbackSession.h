#pragma once
#include <memory>
#include <string>

#include "platform/URLSession.h"

namespace platform {

class DispatchQueue;

// A session for plain http to this machine, without curl and the TLS stack behind it:
// the local server is all most runs ever talk to. queue: a serial queue that can watch
// descriptors (transfers and completions run on it), or null for a queue of its own.
std::shared_ptr<URLSession> makeLoopbackSession(URLSessionConfiguration configuration,
                                                std::shared_ptr<DispatchQueue> queue);

// True for the URLs a loopback session serves.
bool isLoopbackURL(const std::string& url);

}  // namespace platform
