#pragma once
// Runs one quota command directly (no shell) with a time limit and collects its output.
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class QuotaCommand {
public:
    enum class Outcome { exited, notFound, timedOut, failed, cancelled };
    struct Result {
        Outcome outcome = Outcome::failed;
        int exitStatus = -1;  // exit code when it exited, -1 when killed by a signal
        std::string output;   // standard output, at most maxOutputBytes
        std::string error;    // why it failed to start
    };
    static constexpr size_t maxOutputBytes = 64 * 1024;

    // Lets another thread end a running command at once: its whole group is killed and
    // run() returns without waiting for the time limit. Once cancelled, later runs start nothing.
    class Cancellation {
    public:
        Cancellation();
        ~Cancellation();
        Cancellation(const Cancellation&) = delete;
        Cancellation& operator=(const Cancellation&) = delete;
        void cancel();

    private:
        friend class QuotaCommand;
        bool enter(pid_t group);  // false when already cancelled; the group is then killed
        // Before the group's leader is reaped, so its id is still ours. True when a cancel
        // came meanwhile: its kill may be what ended the command.
        bool leave();
        std::mutex mutex_;
        bool cancelled_ = false;
        pid_t group_ = 0;
        int wakeFd_ = -1;  // readable once cancelled
    };

    // The child gets the server's environment without TIDEMARK_SERVER_TOKEN, standard input
    // and error on /dev/null, no other open descriptors, its own process group (killed as a
    // whole when the limit passes) and SIGKILL when the thread that started it ends, so it
    // never outlives the server, however the server ends.
    static Result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                      const std::string& workingDirectory, Cancellation* cancellation = nullptr);
};
