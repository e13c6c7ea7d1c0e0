#include "platform/Process.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/ProcessSpawner.h"

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
    const std::shared_ptr<FileHandle> outputEnd = standardOutput ? standardOutput->fileHandleForWriting() : nullptr;
    const std::shared_ptr<FileHandle> errorEnd = standardError ? standardError->fileHandleForWriting() : nullptr;
    if (outputEnd) request.standardOutput = outputEnd->fileDescriptor();
    if (errorEnd) request.standardError = errorEnd->fileDescriptor();
    if ((outputEnd && request.standardOutput < 0) || (errorEnd && request.standardError < 0))
        return unlaunched(posixError(EBADF, "The output pipe of “" + executablePath + "” is closed"));

    const SpawnResult result = spawnProcess(request);
    if (result.pid < 0) return unlaunched(launchError(executablePath, result));

    // The child holds its own copies; ours would keep the reader from seeing end of file.
    if (outputEnd) outputEnd->closeFile();
    if (errorEnd) errorEnd->closeFile();

    {
        std::lock_guard lock(impl_->mutex);
        impl_->running = true;
        impl_->pid = result.pid;
    }
    // The reaper keeps the object alive until the child is gone, as the handler needs it.
    std::thread([self = shared_from_this()] {
        Impl& impl = *self->impl_;
        const pid_t pid = impl.pid;
        // Wait without reaping, so the pid stays ours while terminate() may signal it.
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        std::function<void(Process&)> handler;
        {
            std::lock_guard lock(impl.mutex);
            int status = 0;
            pid_t reaped;
            do {
                reaped = ::waitpid(pid, &status, 0);
            } while (reaped < 0 && errno == EINTR);
            if (reaped == pid && WIFSIGNALED(status)) {
                impl.reason = TerminationReason::uncaughtSignal;
                impl.status = WTERMSIG(status);
            } else if (reaped == pid && WIFEXITED(status)) {
                impl.reason = TerminationReason::exit;
                impl.status = WEXITSTATUS(status);
            }
            impl.running = false;
            handler = impl.handler;
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
    return std::nullopt;
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
