#include "platform/ProcessSpawner.h"

#include "platform/ProcessTable.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/mman.h>
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

// Everything the child needs, prepared before it starts: the child itself makes only
// async-signal-safe calls and, sharing our memory until exec, writes nothing of ours.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* environment;
    const char* directory;
    bool detached;
    int nullDevice;
    int output;
    int error;
    int reportFd;
    pid_t parent;
    long maxDescriptor;
    bool restoreLimit;
    rlimit childLimit;
    sigset_t emptyMask;
    struct sigaction defaultAction;
};

// Tells the parent which step failed, and why.
[[noreturn]] void failChild(int reportFd, SpawnResult::Step step) {
    const ChildFailure failure{static_cast<int>(step), errno};
    ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

[[noreturn]] void runChild(const ChildPlan& plan) {
    const auto fail = [&plan](SpawnResult::Step step) { failChild(plan.reportFd, step); };
    // Signals stay blocked (by the starting thread) until just before exec.
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &plan.defaultAction, nullptr);
    // A session of its own: the terminal's job-control signals (Ctrl-C) stay ours.
    if (::setsid() < 0) fail(SpawnResult::Step::setup);
    if (!plan.detached) {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) fail(SpawnResult::Step::setup);
        // The parent may have died before the signal was armed.
        if (::getppid() != plan.parent) ::_exit(127);
    }
    if (::dup2(plan.nullDevice, 0) < 0) fail(SpawnResult::Step::setup);
    if (plan.output >= 0 && ::dup2(plan.output, 1) < 0) fail(SpawnResult::Step::setup);
    if (plan.error >= 0 && ::dup2(plan.error, 2) < 0) fail(SpawnResult::Step::setup);
    // Descriptors someone opened without close-on-exec must not leak either.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (long fd = 3; fd < plan.maxDescriptor; ++fd)
            if (fd != plan.reportFd) ::close(static_cast<int>(fd));
    }
    if (plan.restoreLimit) ::setrlimit(RLIMIT_NOFILE, &plan.childLimit);
    if (plan.directory && ::chdir(plan.directory) != 0) fail(SpawnResult::Step::directory);
    ::sigprocmask(SIG_SETMASK, &plan.emptyMask, nullptr);
    ::execve(plan.path, plan.argv, plan.environment);
    failChild(plan.reportFd, SpawnResult::Step::exec);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TIDEMARK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TIDEMARK_SANITIZED 1
#endif
#endif
#ifdef TIDEMARK_SANITIZED
constexpr bool childSharesMemory = false;
#else
constexpr bool childSharesMemory = true;
#endif

// Starts the child sharing our memory, with the calling thread suspended until the
// child execs or exits, as vfork does: no page tables are copied, which made a spawn
// from this process (tens of MiB, hundreds of descriptors) cost about 2 ms of CPU in
// place of 0.8. Sanitizer runtimes keep state in memory that a child sharing it would
// change, so instrumented builds copy it with fork.
pid_t startChild(const ChildPlan& plan) {
#ifdef TIDEMARK_SANITIZED
    const pid_t pid = ::fork();
    if (pid == 0) runChild(plan);
    return pid;
#else
    constexpr size_t stackSize = 64 * 1024;
    void* stack = ::mmap(nullptr, stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return -1;
    const auto entry = [](void* argument) -> int { runChild(*static_cast<const ChildPlan*>(argument)); };
    const pid_t pid = ::clone(entry, static_cast<char*>(stack) + stackSize, CLONE_VM | CLONE_VFORK | SIGCHLD,
                              const_cast<ChildPlan*>(&plan));
    const int cloneError = errno;
    ::munmap(stack, stackSize);
    errno = cloneError;
    return pid;
#endif
}

// Runs on a thread that has every signal blocked.
SpawnResult forkAndExec(const SpawnRequest& request) {
    SpawnResult result;
    std::vector<char*> argv = pointers(request.arguments);
    std::vector<char*> envp;
    char* const* environment = environ;
    if (request.environment) {
        envp = pointers(*request.environment);
        environment = envp.data();
    }

    const int nullDevice = aboveStandardDescriptors(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const int output = duplicateAboveStandard(request.standardOutput);
    const int error = duplicateAboveStandard(request.standardError);
    int reportPipe[2] = {-1, -1};
    // A child that shares our memory has exec'd or written its failure by the time we
    // resume, so the report is read without waiting for the child to close its end.
    const bool pipeMade = ::pipe2(reportPipe, O_CLOEXEC | (childSharesMemory ? O_NONBLOCK : 0)) == 0;
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
    ChildPlan plan{};
    plan.path = request.path.c_str();
    plan.argv = argv.data();
    plan.environment = environment;
    plan.directory = request.directory ? request.directory->c_str() : nullptr;
    plan.detached = request.detached;
    plan.nullDevice = nullDevice;
    plan.output = output;
    plan.error = error;
    plan.reportFd = reportPipe[1];
    plan.parent = ::getpid();
    plan.maxDescriptor = ::sysconf(_SC_OPEN_MAX);
    // Children start with the descriptor limit this process was given, not the raised one.
    const auto originalLimit = originalDescriptorLimit();
    plan.restoreLimit = originalLimit && ::getrlimit(RLIMIT_NOFILE, &plan.childLimit) == 0;
    if (plan.restoreLimit) plan.childLimit.rlim_cur = static_cast<rlim_t>(*originalLimit);
    sigemptyset(&plan.emptyMask);
    plan.defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&plan.defaultAction.sa_mask);

    const pid_t pid = startChild(plan);
    const int startError = errno;
    ::close(reportPipe[1]);
    reportPipe[1] = -1;
    if (pid < 0) {
        result.error = startError;
        result.failedStep = SpawnResult::Step::setup;
        closeAll();
        return result;
    }
    ChildFailure failure{};
    ssize_t n;
    do {
        n = ::read(reportPipe[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) n = 0;
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

SpawnResult spawnProcess(const SpawnRequest& request) {
    if (!request.fromCallingThread) return Spawner::instance().spawn(request);
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    SpawnResult result = forkAndExec(request);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

}  // namespace platform
