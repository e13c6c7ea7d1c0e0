// Starts `/bin/sleep 60` through platform::Process and waits to be killed. Plain: from a
// thread that ends at once, then prints the sleep's pid. With "collected": as a collected
// run on the main thread, whose child prints its own pid on standard error.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/Process.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "collected") == 0) {
        auto child = platform::Process::make();
        child->executablePath = "/bin/sh";
        child->arguments = {"-c", "echo $$ >&2; exec /bin/sleep 60"};
        platform::Process::CollectionLimits limits;
        limits.exitTimeout = std::chrono::seconds(60);
        child->runCollectingOutput(limits);
        for (;;) ::pause();
    }
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
