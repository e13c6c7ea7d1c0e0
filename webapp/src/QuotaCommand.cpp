#include "QuotaCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
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

// Between fork and exec only async-signal-safe calls: everything is prepared beforehand.
[[noreturn]] void becomeCommand(pid_t parent, int devNull, int output, int report, const char* directory,
                                char* const* argv, char* const* envp) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the server died before the line above
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGTERM, SIGINT}) sigaction(signal, &defaultAction, nullptr);
    if (dup2(devNull, 0) < 0 || dup2(output, 1) < 0 || dup2(devNull, 2) < 0) _exit(127);
    int error = 0;
    if (directory && chdir(directory) != 0) error = errno;
    if (error == 0) {
        // The server's sockets must not live on in a command that lingers; report stays
        // open (close-on-exec) to tell the parent why exec failed.
        if (report > 3) close_range(3, static_cast<unsigned>(report) - 1, 0);
        close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
        execvpe(argv[0], argv, envp);
        error = errno;
    }
    ssize_t ignored = write(report, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

}  // namespace

QuotaCommand::Cancellation::Cancellation() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

QuotaCommand::Cancellation::~Cancellation() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void QuotaCommand::Cancellation::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (group_ > 0) kill(-group_, SIGKILL);
    if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
}

bool QuotaCommand::Cancellation::enter(pid_t group) {
    std::lock_guard lock(mutex_);
    if (cancelled_) {
        kill(-group, SIGKILL);
        return false;
    }
    group_ = group;
    return true;
}

bool QuotaCommand::Cancellation::leave() {
    std::lock_guard lock(mutex_);
    group_ = 0;
    return cancelled_;
}

QuotaCommand::Result QuotaCommand::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                       const std::string& workingDirectory, Cancellation* cancellation) {
    Result result;
    if (argv.empty() || argv.front().empty()) {
        result.outcome = Outcome::notFound;
        result.error = "empty command";
        return result;
    }
    int fds[2], report[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = childEnvironment();
    std::vector<char*> env;
    for (auto& e : environment) env.push_back(e.data());
    env.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = devNull < 0 ? -1 : fork();
    if (pid == 0) {
        becomeCommand(parent, devNull, fds[1], report[1], workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                      args.data(), env.data());
    }
    const int forkError = errno;
    close(fds[1]);
    close(report[1]);
    if (devNull >= 0) close(devNull);
    if (pid < 0) {
        close(fds[0]);
        close(report[0]);
        result.error = devNull < 0 ? "cannot open /dev/null" : std::strerror(forkError);
        return result;
    }
    // Also the parent sets the group, so a kill that follows at once reaches the child.
    setpgid(pid, pid);
    int execError = 0;
    ssize_t got;
    do {
        got = read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof execError)) {
        close(fds[0]);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        result.outcome = (execError == ENOENT || execError == ENOTDIR) ? Outcome::notFound : Outcome::failed;
        result.error = std::strerror(execError);
        return result;
    }
    bool cancelled = cancellation && !cancellation->enter(pid);
    const int wakeFd = cancellation ? cancellation->wakeFd_ : -1;

    const auto deadline = Clock::now() + timeout;
    bool timedOut = false;
    char buffer[4096];
    while (!cancelled) {
        const int wait = remainingMs(deadline);
        if (wait == 0) {
            timedOut = true;
            break;
        }
        pollfd p[2] = {{fds[0], POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(p, wakeFd >= 0 ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;  // time-out is handled at the top
        if (p[1].revents) {
            cancelled = true;
            break;
        }
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t room = maxOutputBytes - result.output.size();
        result.output.append(buffer, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    close(fds[0]);

    // Output closed: the command should be about to exit; it still has to within the limit.
    // It is only observed here, not reaped, so its group id cannot be reused yet.
    while (!timedOut && !cancelled) {
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
    if (cancellation && cancellation->leave()) cancelled = true;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (cancelled) {
        result.outcome = Outcome::cancelled;
        return result;
    }
    if (timedOut) {
        result.outcome = Outcome::timedOut;
        return result;
    }
    result.outcome = Outcome::exited;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
