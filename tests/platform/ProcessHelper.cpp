// Starts `/bin/sleep 60` through platform::Process from a thread that ends at once,
// prints the sleep's pid and then waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "platform/Process.h"

int main() {
    std::shared_ptr<platform::Process> child;
    std::thread([&] {
        child = platform::Process::make();
        child->executablePath = "/bin/sleep";
        child->arguments = {"60"};
        if (child->run()) child.reset();
    }).join();
    if (!child) return 1;
    std::printf("%d\n", child->processIdentifier());
    std::fflush(stdout);
    for (;;) ::pause();
}
