#pragma once
// Runs one quota command directly (no shell) with a time limit and collects its output.
#include <chrono>
#include <string>
#include <vector>

class QuotaCommand {
public:
    enum class Outcome { exited, notFound, timedOut, failed };
    struct Result {
        Outcome outcome = Outcome::failed;
        int exitStatus = -1;  // exit code when it exited, -1 when killed by a signal
        std::string output;   // standard output, at most maxOutputBytes
        std::string error;    // why it failed to start
    };
    static constexpr size_t maxOutputBytes = 64 * 1024;

    // The child gets the server's environment without TIDEMARK_SERVER_TOKEN, standard input
    // and error on /dev/null, no other open descriptors, and its own process group, which
    // is killed as a whole when the limit passes.
    static Result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                      const std::string& workingDirectory);
};
