#include "QuotaCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> childEnvironment() {
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "TIDEMARK_SERVER_TOKEN=", 22) == 0) continue;
        result.emplace_back(*entry);
    }
    return result;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

QuotaCommand::Result QuotaCommand::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                       const std::string& workingDirectory) {
    Result result;
    if (argv.empty() || argv.front().empty()) {
        result.outcome = Outcome::notFound;
        result.error = "empty command";
        return result;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The server's sockets must not live on in a command that lingers.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = childEnvironment();
    std::vector<char*> env;
    for (auto& e : environment) env.push_back(e.data());
    env.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        result.outcome = (spawned == ENOENT || spawned == ENOTDIR) ? Outcome::notFound : Outcome::failed;
        result.error = std::strerror(spawned);
        return result;
    }

    const auto deadline = Clock::now() + timeout;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const int wait = remainingMs(deadline);
        if (wait == 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;  // time-out is handled at the top
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t room = maxOutputBytes - result.output.size();
        result.output.append(buffer, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    close(fds[0]);

    // Output closed: the command should be about to exit; it still has to within the limit.
    // It is only observed here, not reaped, so its group id cannot be reused yet.
    while (!timedOut) {
        siginfo_t info{};
        const int waited = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (waited == 0 && info.si_pid == pid) break;
        if (waited < 0 && errno != EINTR) break;
        if (remainingMs(deadline) == 0) {
            timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the command left behind in its group goes with it.
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        result.outcome = Outcome::timedOut;
        return result;
    }
    result.outcome = Outcome::exited;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
