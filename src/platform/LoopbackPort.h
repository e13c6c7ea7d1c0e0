#pragma once

namespace platform {

// Tries to bind an IPv4 stream socket to 127.0.0.1:port (with SO_REUSEADDR) and closes
// it at once. True when the bind succeeded; nothing holds the port afterwards.
bool canBindLoopbackPort(long long port);

}  // namespace platform
