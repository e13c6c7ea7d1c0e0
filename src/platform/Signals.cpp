#include "platform/Signals.h"

#include <signal.h>
#include <unistd.h>

namespace platform {

bool sendSignal(int processIdentifier, int signalNumber) {
    if (processIdentifier <= 0) return false;
    return ::kill(processIdentifier, signalNumber) == 0;
}

void sleepMicroseconds(unsigned long microseconds) { ::usleep(static_cast<useconds_t>(microseconds)); }

}  // namespace platform
