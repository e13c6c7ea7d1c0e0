#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/ProcessSpawner.h"
#include "platform/ProcessStarts.h"

namespace platform {

namespace {

std::string lastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Error launchError(const std::string& path, const SpawnResult& result) {
    if (result.failedStep == SpawnResult::Step::exec && result.error == ENOENT)
        return Error{"NSCocoaErrorDomain", 4, "The file “" + lastPathComponent(path) + "” doesn’t exist."};
    if (result.failedStep == SpawnResult::Step::directory)
        return posixError(result.error, "Could not change to the working directory");
    return posixError(result.error, "Could not launch “" + path + "”");
}

}  // namespace

struct Process::Impl {
    mutable std::mutex mutex;
    std::condition_variable exited;
    std::condition_variable handlerFinished;
    bool launched = false;
    bool running = false;
    pid_t pid = 0;
    int status = 0;
    TerminationReason reason = TerminationReason::exit;
    std::function<void(Process&)> handler;
    bool handlerRunning = false;
    std::thread::id reaperThread;

    // Reaps the child and records how it ended; false only when WNOHANG found it still
    // running. Called with the mutex held.
    bool reapLocked(int options) {
        int waitStatus = 0;
        pid_t reaped;
        do {
            reaped = ::waitpid(pid, &waitStatus, options);
        } while (reaped < 0 && errno == EINTR);
        if (reaped == 0) return false;
        if (reaped == pid) noteReapedChild(pid);
        if (reaped == pid && WIFSIGNALED(waitStatus)) {
            reason = TerminationReason::uncaughtSignal;
            status = WTERMSIG(waitStatus);
        } else if (reaped == pid && WIFEXITED(waitStatus)) {
            reason = TerminationReason::exit;
            status = WEXITSTATUS(waitStatus);
        }
        running = false;
        return true;
    }
};

Process::Process() : impl_(std::make_shared<Impl>()) {}

Process::~Process() = default;

std::shared_ptr<Process> Process::make() { return std::shared_ptr<Process>(new Process()); }

void Process::setTerminationHandler(std::function<void(Process&)> handler) {
    std::unique_lock lock(impl_->mutex);
    const bool removing = !handler;
    impl_->handler = std::move(handler);
    // After a removal returns, the handler is not running anywhere (unless the
    // handler removes itself).
    if (removing && impl_->reaperThread != std::this_thread::get_id())
        impl_->handlerFinished.wait(lock, [&] { return !impl_->handlerRunning; });
}

std::optional<Error> Process::run() {
    if (auto error = launch(-1, false)) return error;
    reapOnItsOwnThread(true);
    return std::nullopt;
}

std::optional<Error> Process::launch(int output, bool fromCallingThread) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->launched) return posixError(EBUSY, "The process was already launched");
        impl_->launched = true;
    }
    const auto unlaunched = [this](Error error) {
        std::lock_guard lock(impl_->mutex);
        impl_->launched = false;
        return error;
    };
    SpawnRequest request;
    request.path = executablePath;
    request.arguments.push_back(executablePath);
    request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
    if (environment) {
        std::vector<std::string> entries;
        entries.reserve(environment->size());
        for (const auto& [name, value] : *environment) entries.push_back(name + "=" + value);
        request.environment = std::move(entries);
    }
    request.directory = currentDirectoryPath;
    request.detached = detached;
    request.fromCallingThread = fromCallingThread;
    const std::shared_ptr<FileHandle> outputEnd =
        output < 0 && standardOutput ? standardOutput->fileHandleForWriting() : nullptr;
    const std::shared_ptr<FileHandle> errorEnd = standardError ? standardError->fileHandleForWriting() : nullptr;
    if (output >= 0) request.standardOutput = output;
    if (outputEnd) request.standardOutput = outputEnd->fileDescriptor();
    if (errorEnd) request.standardError = errorEnd->fileDescriptor();
    if ((outputEnd && request.standardOutput < 0) || (errorEnd && request.standardError < 0))
        return unlaunched(posixError(EBADF, "The output pipe of “" + executablePath + "” is closed"));

    const SpawnResult result = spawnProcess(request);
    if (result.pid < 0) return unlaunched(launchError(executablePath, result));

    // The child holds its own copies; ours would keep the reader from seeing end of file.
    if (outputEnd) outputEnd->closeFile();
    if (errorEnd) errorEnd->closeFile();

    std::lock_guard lock(impl_->mutex);
    impl_->running = true;
    impl_->pid = result.pid;
    return std::nullopt;
}

void Process::reapOnItsOwnThread(bool callHandler) {
    std::thread([self = shared_from_this(), callHandler] {
        Impl& impl = *self->impl_;
        const pid_t pid = impl.pid;
        // Wait without reaping, so the pid stays ours while terminate() may signal it.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        std::function<void(Process&)> handler;
        {
            std::lock_guard lock(impl.mutex);
            impl.reapLocked(0);
            if (callHandler) handler = impl.handler;
            impl.handlerRunning = static_cast<bool>(handler);
            impl.reaperThread = std::this_thread::get_id();
        }
        impl.exited.notify_all();
        if (handler) {
            handler(*self);
            handler = nullptr;
            {
                std::lock_guard lock(impl.mutex);
                impl.handlerRunning = false;
            }
            impl.handlerFinished.notify_all();
        }
    }).detach();
}

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t pipeRoom = 1024 * 1024;  // the most an unprivileged pipe may hold by default
constexpr std::chrono::milliseconds exitAloneWait{100};

// The read end of the collecting pipe, non-blocking, and what came through it.
class CollectedPipe {
public:
    CollectedPipe(int fd, size_t limit) : fd_(fd), limit_(limit) {}
    ~CollectedPipe() { close(); }
    CollectedPipe(const CollectedPipe&) = delete;
    CollectedPipe& operator=(const CollectedPipe&) = delete;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    bool ended() const { return ended_; }
    bool overflowed() const { return overflowed_; }
    std::string take() { return std::move(data_); }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Reads what is there. Keeps at most one byte over the limit, which is enough to
    // know it was passed; the pipe is closed then, so a runaway writer gets SIGPIPE.
    void readAvailable() {
        constexpr size_t chunk = 64 * 1024;
        while (fd_ >= 0) {
            if (data_.size() > limit_) {
                overflowed_ = true;
                close();
                return;
            }
            const size_t before = data_.size();
            const size_t room = std::min(chunk, limit_ + 1 - before);
            data_.resize(before + room);
            const ssize_t n = ::read(fd_, data_.data() + before, room);
            data_.resize(before + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return;
            // End of file; a read error on a pipe ends the output all the same.
            ended_ = true;
            close();
        }
    }

private:
    int fd_;
    size_t limit_;
    std::string data_;
    bool ended_ = false;
    bool overflowed_ = false;
};

timespec remainingUntil(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now());
    const long long ns = std::max<long long>(left.count(), 0);
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

std::variant<Process::CollectedOutput, Error> Process::runCollectingOutput(const CollectionLimits& limits) {
    if (standardOutput)
        return posixError(EINVAL, "The output of “" + executablePath + "” is collected, so it takes no output pipe");
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) return posixError(errno, "Could not make the output pipe of “" + executablePath + "”");
    CollectedPipe output(ends[0], limits.maximumOutput);
    // Only our end: the child's standard output stays blocking.
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    // Room for a short run's whole output (see below); the default 64 KiB otherwise.
    ::fcntl(ends[0], F_SETPIPE_SZ, static_cast<int>(pipeRoom));
    // This thread waits for the child, so the child may be started from it.
    auto launched = launch(ends[1], true);
    ::close(ends[1]);
    if (launched) return *launched;

    // No one else reaps this child (no reaper thread was started for it), so the pid
    // cannot have been reused yet.
    // Through syscall(): glibc 2.36's <sys/pidfd.h> declares it without C linkage.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, impl_->pid, 0));
    if (pidfd < 0) {
        const int error = errno;
        sendSignal(SIGKILL);
        reapOnItsOwnThread(false);
        return posixError(error, "Could not watch “" + executablePath + "”");
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{pidfd};
    bool reaped = false;
    // Reads the output and reaps the child as each becomes ready, until `done` holds or
    // the deadline passes. True when done.
    const auto waitUntil = [&](SteadyClock::time_point deadline, auto done, bool watchOutput = true) {
        for (;;) {
            if (done()) return true;
            pollfd fds[2];
            nfds_t count = 0;
            int outputIndex = -1, exitIndex = -1;
            if (output.isOpen() && watchOutput) {
                outputIndex = static_cast<int>(count);
                fds[count++] = pollfd{output.fd(), POLLIN, 0};
            }
            if (!reaped) {
                exitIndex = static_cast<int>(count);
                fds[count++] = pollfd{pidfd, POLLIN, 0};
            }
            if (count == 0 || SteadyClock::now() >= deadline) return false;
            const timespec timeout = remainingUntil(deadline);
            const int ready = ::ppoll(fds, count, &timeout, nullptr);
            if (ready < 0 && errno != EINTR) return false;
            if (ready <= 0) continue;
            if (outputIndex >= 0 && fds[outputIndex].revents) output.readAvailable();
            if (exitIndex >= 0 && fds[exitIndex].revents) {
                {
                    // Under the lock, so sendSignal() never hits a pid no longer ours.
                    std::lock_guard lock(impl_->mutex);
                    reaped = impl_->reapLocked(WNOHANG);
                }
                if (reaped) impl_->exited.notify_all();
            }
        }
    };
    const auto exitedOrOverflowed = [&] { return reaped || output.overflowed(); };
    const auto outputClosed = [&] { return !output.isOpen(); };
    const auto tooLarge = [&] {
        return posixError(EFBIG, "The output of “" + executablePath + "” passed " +
                                     std::to_string(limits.maximumOutput) + " bytes");
    };

    const auto exited = [&] { return reaped; };

    CollectedOutput result;
    const auto started = SteadyClock::now();
    const auto exitDeadline = started + limits.exitTimeout;
    // A short run's output waits in the pipe while its exit alone is awaited, so this
    // thread wakes once for the run, not once for each write and again for the exit.
    // Output that fills the pipe holds the child up until this first wait ends.
    waitUntil(std::min(exitDeadline, started + exitAloneWait), exited, false);
    if (waitUntil(exitDeadline, exitedOrOverflowed) && reaped) {
        const bool ended = waitUntil(SteadyClock::now() + limits.outputTimeout, outputClosed) && output.ended();
        if (output.overflowed()) return tooLarge();
        result.ending = ended ? CollectedOutput::Ending::complete : CollectedOutput::Ending::outputTimedOut;
        result.data = output.take();
        return result;
    }

    terminate();
    if (!waitUntil(SteadyClock::now() + limits.terminationGrace, exited) && sendSignal(SIGKILL))
        waitUntil(SteadyClock::now() + limits.killGrace, exited);
    waitUntil(SteadyClock::now() + limits.drainGrace, outputClosed);
    // Stuck in the kernel even after SIGKILL: it must not stay a zombie once it goes.
    if (!reaped) reapOnItsOwnThread(false);
    if (output.overflowed()) return tooLarge();
    result.ending = CollectedOutput::Ending::exitTimedOut;
    result.data = output.take();
    return result;
}

void Process::terminate() { sendSignal(SIGTERM); }

bool Process::sendSignal(int signalNumber) {
    // The reaper reaps under this lock, so while `running` holds the pid is still ours.
    std::lock_guard lock(impl_->mutex);
    return impl_->running && ::kill(impl_->pid, signalNumber) == 0;
}

bool Process::isRunning() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

int Process::processIdentifier() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pid;
}

int Process::terminationStatus() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->status;
}

Process::TerminationReason Process::terminationReason() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->reason;
}

void Process::waitUntilExit() {
    std::unique_lock lock(impl_->mutex);
    impl_->exited.wait(lock, [&] { return !impl_->running; });
}

bool Process::waitUntilExit(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    return impl_->exited.wait_for(lock, timeout, [&] { return !impl_->running; });
}

}  // namespace platform
