// TidemarkServer: the local web application behind Tidemark's panel.
#include "ServerConfig.h"
#include "TidemarkServer.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
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
    // Signals are taken by one thread with sigwait, so no handler runs inside the server.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto config = ServerConfig::fromProcessEnvironment(error);
    if (!config) {
        logLine("TidemarkServer cannot start: " + error);
        return 2;
    }
    if (config->token.empty()) logLine("TIDEMARK_SERVER_TOKEN is not set: ingest and the panel are refused");

    TidemarkServer server(*config, logLine);
    if (!server.bind(error)) {
        logLine("TidemarkServer cannot start: " + error);
        return 1;
    }

    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread signalThread([&] {
        int received = 0;
        sigwait(&signals, &received);
        if (received == 0) return;
        server.stop();
        // A stop is bounded: if open connections hold it up, leave anyway before the
        // supervisor's kill.
        std::unique_lock lock(doneMutex);
        if (!doneChanged.wait_for(lock, std::chrono::milliseconds(1500), [&] { return done; })) {
            std::fflush(nullptr);
            std::_Exit(0);
        }
    });

    {
        std::lock_guard lock(outputMutex);
        std::printf("TidemarkServer listening on http://127.0.0.1:%d\n", server.port());
        std::fflush(stdout);
    }
    const bool served = server.run();
    {
        std::lock_guard lock(doneMutex);
        done = true;
    }
    doneChanged.notify_all();
    if (!served) {
        logLine("TidemarkServer stopped serving unexpectedly");
        pthread_kill(signalThread.native_handle(), SIGTERM);
        signalThread.join();
        return 1;
    }
    signalThread.join();
    return 0;
}
