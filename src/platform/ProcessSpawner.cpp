#include "platform/ProcessSpawner.h"

#include "platform/ProcessTable.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {

namespace {

struct ChildFailure {
    int step;
    int error;
};

// Moves a descriptor to 3 or above so that placing 0, 1 and 2 can never clobber it.
int aboveStandardDescriptors(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

int duplicateAboveStandard(int fd) { return fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

// Everything the child needs is prepared here, before fork: the child itself makes
// only async-signal-safe calls.
SpawnResult forkAndExec(const SpawnRequest& request) {
    SpawnResult result;
    std::vector<char*> argv = pointers(request.arguments);
    std::vector<char*> envp;
    char* const* environment = environ;
    if (request.environment) {
        envp = pointers(*request.environment);
        environment = envp.data();
    }
    const char* path = request.path.c_str();
    const char* directory = request.directory ? request.directory->c_str() : nullptr;
    const bool detached = request.detached;

    const int nullDevice = aboveStandardDescriptors(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const int output = duplicateAboveStandard(request.standardOutput);
    const int error = duplicateAboveStandard(request.standardError);
    int reportPipe[2] = {-1, -1};
    const bool pipeMade = ::pipe2(reportPipe, O_CLOEXEC) == 0;
    reportPipe[0] = aboveStandardDescriptors(reportPipe[0]);
    reportPipe[1] = aboveStandardDescriptors(reportPipe[1]);
    const auto closeAll = [&] {
        for (int fd : {nullDevice, output, error, reportPipe[0], reportPipe[1]})
            if (fd >= 0) ::close(fd);
    };
    if (nullDevice < 0 || (request.standardOutput >= 0 && output < 0) || (request.standardError >= 0 && error < 0) ||
        !pipeMade || reportPipe[0] < 0 || reportPipe[1] < 0) {
        result.error = errno ? errno : EMFILE;
        result.failedStep = SpawnResult::Step::setup;
        closeAll();
        return result;
    }
    const int reportFd = reportPipe[1];
    const pid_t parent = ::getpid();
    const long maxDescriptor = ::sysconf(_SC_OPEN_MAX);
    // Children start with the descriptor limit this process was given, not the raised one.
    rlimit childLimit{};
    const auto originalLimit = originalDescriptorLimit();
    const bool restoreLimit = originalLimit && ::getrlimit(RLIMIT_NOFILE, &childLimit) == 0;
    if (restoreLimit) childLimit.rlim_cur = static_cast<rlim_t>(*originalLimit);
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const auto fail = [reportFd](SpawnResult::Step step) {
            const ChildFailure failure{static_cast<int>(step), errno};
            ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
            (void)ignored;
            ::_exit(127);
        };
        // Signals stay blocked (inherited from the spawner thread) until just before exec.
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaultAction, nullptr);
        // A session of its own: the terminal's job-control signals (Ctrl-C) stay ours.
        if (::setsid() < 0) fail(SpawnResult::Step::setup);
        if (!detached) {
            if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) fail(SpawnResult::Step::setup);
            // The parent may have died before the signal was armed.
            if (::getppid() != parent) ::_exit(127);
        }
        if (::dup2(nullDevice, 0) < 0) fail(SpawnResult::Step::setup);
        if (output >= 0 && ::dup2(output, 1) < 0) fail(SpawnResult::Step::setup);
        if (error >= 0 && ::dup2(error, 2) < 0) fail(SpawnResult::Step::setup);
        // Descriptors someone opened without close-on-exec must not leak either.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (long fd = 3; fd < maxDescriptor; ++fd)
                if (fd != reportFd) ::close(static_cast<int>(fd));
        }
        if (restoreLimit) ::setrlimit(RLIMIT_NOFILE, &childLimit);
        if (directory && ::chdir(directory) != 0) fail(SpawnResult::Step::directory);
        ::sigprocmask(SIG_SETMASK, &emptyMask, nullptr);
        ::execve(path, argv.data(), environment);
        fail(SpawnResult::Step::exec);
    }
    const int forkError = errno;
    ::close(reportPipe[1]);
    reportPipe[1] = -1;
    if (pid < 0) {
        result.error = forkError;
        result.failedStep = SpawnResult::Step::setup;
        closeAll();
        return result;
    }
    ChildFailure failure{};
    ssize_t n;
    do {
        n = ::read(reportPipe[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    closeAll();
    if (n == static_cast<ssize_t>(sizeof failure)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        result.error = failure.error;
        result.failedStep = static_cast<SpawnResult::Step>(failure.step);
        return result;
    }
    if (n != 0) {
        // A child that vanished before reporting (killed between fork and exec).
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        result.error = ECHILD;
        result.failedStep = SpawnResult::Step::setup;
        return result;
    }
    result.pid = pid;
    return result;
}

class Spawner {
public:
    static Spawner& instance() {
        // Never destroyed: the thread has to outlive every child it started.
        static Spawner* spawner = new Spawner;
        return *spawner;
    }

    SpawnResult spawn(const SpawnRequest& request) {
        Job job{&request, {}, false};
        std::unique_lock lock(mutex_);
        jobs_.push_back(&job);
        jobAdded_.notify_one();
        jobDone_.wait(lock, [&] { return job.done; });
        return job.result;
    }

private:
    struct Job {
        const SpawnRequest* request;
        SpawnResult result;
        bool done;
    };

    Spawner() {
        std::thread([this] { run(); }).detach();
    }

    void run() {
        // Named for itself, not for the thread that happened to start it.
        pthread_setname_np(pthread_self(), "spawner");
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            jobAdded_.wait(lock, [&] { return !jobs_.empty(); });
            Job* job = jobs_.front();
            jobs_.pop_front();
            lock.unlock();
            SpawnResult result = forkAndExec(*job->request);
            lock.lock();
            job->result = result;
            job->done = true;
            jobDone_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable jobAdded_;
    std::condition_variable jobDone_;
    std::deque<Job*> jobs_;
};

}  // namespace

SpawnResult spawnProcess(const SpawnRequest& request) { return Spawner::instance().spawn(request); }

}  // namespace platform
