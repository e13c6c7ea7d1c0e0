#pragma once

namespace platform {

inline constexpr int terminationSignal = 15;  // SIGTERM
inline constexpr int killSignal = 9;          // SIGKILL

// Sends a signal to a process by identifier; false when it could not be delivered.
bool sendSignal(int processIdentifier, int signalNumber);

// Sleeps the calling thread.
void sleepMicroseconds(unsigned long microseconds);

}  // namespace platform
