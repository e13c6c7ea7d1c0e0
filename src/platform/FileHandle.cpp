#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Process.h"

namespace platform {

namespace {

constexpr size_t readChunkSize = 64 * 1024;

void signalEventFd(int fd) {
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

// The descriptor is closed only when no reader is inside a system call on it, so a
// closeFile() racing a blocked read never lets the number be reused under that read.
// closeFile() wakes blocked readers through `closedEvent`.
struct FileHandle::Impl {
    struct Reader {
        std::function<void(FileHandle&)> handler;
        bool stopped = false;
        bool inHandler = false;
        std::thread::id thread;
        int stopEvent = -1;
    };

    std::mutex mutex;
    std::condition_variable handlerDone;
    int fd = -1;
    bool closeOnDestruction = true;
    bool closed = false;
    bool descriptorReleased = false;
    bool reachedEnd = false;
    int users = 0;
    int closedEvent = -1;
    FileHandle* owner = nullptr;
    std::shared_ptr<Reader> reader;

    ~Impl() {
        if (!descriptorReleased && closeOnDestruction && fd >= 0) ::close(fd);
        if (closedEvent >= 0) ::close(closedEvent);
    }

    // Returns the descriptor for one use, or -1 when the handle is closed.
    int acquire() {
        std::lock_guard lock(mutex);
        if (closed || fd < 0) return -1;
        ++users;
        return fd;
    }

    void release() {
        std::lock_guard lock(mutex);
        --users;
        closeIfUnused();
    }

    void closeIfUnused() {
        if (closed && users == 0 && !descriptorReleased) {
            descriptorReleased = true;
            if (fd >= 0) ::close(fd);
        }
    }

    void stopReaderLocked() {
        if (!reader) return;
        reader->stopped = true;
        reader->handler = nullptr;
        if (reader->stopEvent >= 0) signalEventFd(reader->stopEvent);
        reader.reset();
    }

    // Waits until fd is ready for `events` or the handle is closed; false when closed.
    bool waitFor(int descriptor, short events) {
        pollfd fds[2] = {{descriptor, events, 0}, {closedEvent, POLLIN, 0}};
        for (;;) {
            const int n = ::poll(fds, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (fds[1].revents) return false;
            return true;
        }
    }

    // One read of what is there; "" at end of file, on error or when closed.
    std::string readAvailable(int descriptor) {
        std::string data;
        if (!waitFor(descriptor, POLLIN)) return data;
        data.resize(readChunkSize);
        for (;;) {
            const ssize_t n = ::read(descriptor, data.data(), data.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) markEnd();
                data.clear();
                return data;
            }
            data.resize(static_cast<size_t>(n));
            return data;
        }
    }

    void markEnd() {
        std::lock_guard lock(mutex);
        reachedEnd = true;
    }
};

FileHandle::FileHandle(int fd, bool closeOnDestruction) : impl_(std::make_shared<Impl>()) {
    impl_->fd = fd;
    impl_->closeOnDestruction = closeOnDestruction;
    impl_->closedEvent = ::eventfd(0, EFD_CLOEXEC);
    impl_->owner = this;
}

FileHandle::~FileHandle() {
    std::unique_lock lock(impl_->mutex);
    impl_->owner = nullptr;
    auto reader = impl_->reader;
    impl_->stopReaderLocked();
    // The handler gets a reference to this object: let a running call finish first,
    // unless the handler itself is what drops the handle.
    if (reader && reader->thread != std::this_thread::get_id())
        impl_->handlerDone.wait(lock, [&] { return !reader->inHandler; });
}

int FileHandle::fileDescriptor() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->closed ? -1 : impl_->fd;
}

std::string FileHandle::availableData() {
    const int fd = impl_->acquire();
    if (fd < 0) return {};
    std::string data = impl_->readAvailable(fd);
    // Take whatever else is already queued without blocking.
    while (!data.empty() && data.size() < 16 * readChunkSize) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN)) break;
        char buffer[readChunkSize];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file shows up on the next call
        data.append(buffer, static_cast<size_t>(n));
    }
    impl_->release();
    return data;
}

std::string FileHandle::readDataToEndOfFile() {
    const int fd = impl_->acquire();
    if (fd < 0) return {};
    std::string all;
    for (;;) {
        std::string chunk = impl_->readAvailable(fd);
        if (chunk.empty()) break;
        all += chunk;
    }
    impl_->release();
    return all;
}

void FileHandle::write(std::string_view data) {
    const int fd = impl_->acquire();
    if (fd < 0) return;
    // A reader that went away must not kill us with SIGPIPE: block it for this thread
    // and swallow the one our write raised.
    sigset_t pipeSet, previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    bool brokenPipe = false;
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (!impl_->waitFor(fd, POLLOUT)) break;
            continue;
        }
        if (n < 0) {
            brokenPipe = errno == EPIPE;
            break;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    if (brokenPipe && !sigismember(&previous, SIGPIPE)) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    impl_->release();
}

void FileHandle::closeFile() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return;
    impl_->closed = true;
    impl_->stopReaderLocked();
    if (impl_->closedEvent >= 0) signalEventFd(impl_->closedEvent);
    impl_->closeIfUnused();
}

void FileHandle::setReadabilityHandler(std::function<void(FileHandle&)> handler) {
    std::unique_lock lock(impl_->mutex);
    if (!handler) {
        auto reader = impl_->reader;
        impl_->stopReaderLocked();
        // After a removal returns the handler runs nowhere, so the caller may drop the
        // handle and whatever the handler uses (unless the handler removes itself).
        if (reader && reader->thread != std::this_thread::get_id())
            impl_->handlerDone.wait(lock, [&] { return !reader->inHandler; });
        return;
    }
    if (impl_->reader) {
        impl_->reader->handler = std::move(handler);
        return;
    }
    if (impl_->closed || impl_->fd < 0) return;
    auto reader = std::make_shared<Impl::Reader>();
    reader->handler = std::move(handler);
    reader->stopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (reader->stopEvent < 0) return;
    impl_->reader = reader;
    ++impl_->users;  // the thread's hold on the descriptor
    std::thread([impl = impl_, reader] {
        {
            std::lock_guard lock(impl->mutex);
            reader->thread = std::this_thread::get_id();
        }
        const int fd = impl->fd;
        for (;;) {
            pollfd fds[3] = {{fd, POLLIN, 0}, {reader->stopEvent, POLLIN, 0}, {impl->closedEvent, POLLIN, 0}};
            const int n = ::poll(fds, 3, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || fds[1].revents || fds[2].revents) break;
            // Hang-up without data left: the end-of-file call, made once.
            const bool atEnd = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[0].revents & POLLIN);
            std::function<void(FileHandle&)> call;
            FileHandle* owner;
            {
                std::lock_guard lock(impl->mutex);
                if (reader->stopped || !impl->owner) break;
                call = reader->handler;
                owner = impl->owner;
                reader->inHandler = true;
            }
            call(*owner);
            call = nullptr;
            bool ended;
            {
                std::lock_guard lock(impl->mutex);
                reader->inHandler = false;
                ended = impl->reachedEnd || atEnd;
            }
            impl->handlerDone.notify_all();
            if (ended) break;
        }
        std::lock_guard lock(impl->mutex);
        if (impl->reader == reader) impl->reader.reset();
        reader->stopped = true;
        ::close(reader->stopEvent);
        reader->stopEvent = -1;
        --impl->users;
        impl->closeIfUnused();
    }).detach();
}

Pipe::Pipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) fds[0] = fds[1] = -1;
    reading_ = std::make_shared<FileHandle>(fds[0]);
    writing_ = std::make_shared<FileHandle>(fds[1]);
}

}  // namespace platform
