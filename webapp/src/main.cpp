// TidemarkServer: the local web application behind Tidemark's panel.
#include "ServerConfig.h"
#include "TidemarkServer.h"

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

std::mutex outputMutex;

void logLine(const std::string& text) {
    std::lock_guard lock(outputMutex);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

constexpr int usageExitStatus = 64;  // EX_USAGE

// Every open connection is a descriptor; the hard limit is ours to use.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Tidemark starts the server without arguments; the one option is for people and
    // packaging checks.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("TidemarkServer %s\n", TIDEMARK_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc > 1) {
        std::fputs("usage: TidemarkServer [--version]\n", stderr);
        return usageExitStatus;
    }
    // Signals are taken by this thread with sigwait, so no handler runs inside the server;
    // threads started later inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    std::string error;
    auto config = ServerConfig::fromProcessEnvironment(error);
    if (!config) {
        logLine("TidemarkServer cannot start: " + error);
        return 2;
    }
    if (config->token.empty()) logLine("TIDEMARK_SERVER_TOKEN is not set: ingest and the panel are refused");

    TidemarkServer server(*config, logLine);
    if (!server.bind(error) || !server.start(error)) {
        logLine("TidemarkServer cannot start: " + error);
        return 1;
    }
    {
        std::lock_guard lock(outputMutex);
        std::printf("TidemarkServer listening on http://127.0.0.1:%d\n", server.port());
        std::fflush(stdout);
    }

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    // A stop is bounded: should anything hold it up, leave before the supervisor's kill.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::fflush(nullptr);
        std::_Exit(0);
    }).detach();
    server.stop();
    return 0;
}
