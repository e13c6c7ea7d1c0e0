#include "platform/SingleInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Dispatch.h"
#include "platform/FileManager.h"

namespace platform {

namespace {

constexpr std::string_view openRequest = "open\n";
// How long a running instance gives its main thread to answer, and a caller to talk.
constexpr auto answerTimeout = std::chrono::seconds(5);
constexpr auto exchangeTimeout = std::chrono::seconds(1);
constexpr size_t maximumLine = 4096;

std::optional<sockaddr_un> socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

// Reads up to a line feed (not kept), end of file, a timeout or `maximumLine` bytes.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char c = 0;
    while (line.size() < maximumLine) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0 || c == '\n') return line;
        line += c;
    }
    return line;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

struct SingleInstance::Listener {
    int socket = -1;
    int stopEvent = -1;
    std::function<std::string()> onOpenRequest;

    ~Listener() {
        if (socket >= 0) ::close(socket);
        if (stopEvent >= 0) ::close(stopEvent);
    }

    void run() {
        for (;;) {
            pollfd fds[2] = {{socket, POLLIN, 0}, {stopEvent, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            const int connection = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        // The folder is private already; a peer of another user is refused all the same.
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) return;
        setTimeouts(connection, exchangeTimeout);
        const auto request = readLine(connection);
        if (!request || *request + "\n" != openRequest) return;

        struct Answer {
            std::mutex mutex;
            std::condition_variable ready;
            std::optional<std::string> line;
        };
        auto reply = std::make_shared<Answer>();
        DispatchQueue::main()->async([reply, handler = onOpenRequest] {
            std::string line = handler ? handler() : std::string();
            std::lock_guard lock(reply->mutex);
            reply->line = std::move(line);
            reply->ready.notify_all();
        });
        std::unique_lock lock(reply->mutex);
        reply->ready.wait_for(lock, answerTimeout, [&] { return reply->line.has_value(); });
        sendAll(connection, reply->line.value_or("") + "\n");
    }
};

SingleInstance::SingleInstance(std::string directory, int lockDescriptor)
    : directory_(std::move(directory)), lockDescriptor_(lockDescriptor) {}

SingleInstance::~SingleInstance() {
    if (listener_) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(listener_->stopEvent, &one, sizeof one);
        // The socket goes before the lock, so the next holder never finds ours.
        ::unlink((directory_ + "/" + socketFileName).c_str());
    }
    if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
}

std::variant<std::unique_ptr<SingleInstance>, Error> SingleInstance::acquire(const std::string& directory,
                                                                             std::chrono::milliseconds waitForRelease) {
    if (auto error = FileManager::createPrivateDirectory(directory)) return *error;
    const std::string lockPath = directory + "/" + lockFileName;
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return posixError(errno, "Could not open “" + lockPath + "”");
    const auto deadline = std::chrono::steady_clock::now() + waitForRelease;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<SingleInstance>(new SingleInstance(directory, fd));
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK) {
            ::close(fd);
            return posixError(error, "Could not lock “" + lockPath + "”");
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
    return std::unique_ptr<SingleInstance>(new SingleInstance(directory, -1));
}

std::optional<Error> SingleInstance::startListening(std::function<std::string()> onOpenRequest) {
    if (!isPrimary()) return posixError(EPERM, "Another instance is running");
    if (listener_) return std::nullopt;
    const std::string path = directory_ + "/" + socketFileName;
    const auto address = socketAddress(path);
    if (!address) return posixError(ENAMETOOLONG, "The socket path “" + path + "” is too long");
    auto listener = std::make_shared<Listener>();
    listener->onOpenRequest = std::move(onOpenRequest);
    listener->socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    listener->stopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (listener->socket < 0 || listener->stopEvent < 0) return posixError(errno, "Could not open a socket");
    // We hold the lock: whatever socket is there was left by a holder that died.
    ::unlink(path.c_str());
    if (::bind(listener->socket, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listener->socket, 8) != 0)
        return posixError(errno, "Could not listen on “" + path + "”");
    listener_ = listener;
    std::thread([listener] { listener->run(); }).detach();
    return std::nullopt;
}

std::variant<std::string, Error> SingleInstance::requestOpen(std::chrono::milliseconds timeout) const {
    const std::string path = directory_ + "/" + socketFileName;
    const auto address = socketAddress(path);
    if (!address) return posixError(ENAMETOOLONG, "The socket path “" + path + "” is too long");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int lastError = ETIMEDOUT;
    do {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return posixError(errno, "Could not open a socket");
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
            // The running instance answers within its own limit; allow for that.
            setTimeouts(fd, std::chrono::duration_cast<std::chrono::milliseconds>(answerTimeout + exchangeTimeout));
            std::optional<std::string> line;
            if (sendAll(fd, openRequest)) line = readLine(fd);
            ::close(fd);
            if (line) return *line;
            return posixError(EPROTO, "The running Tidemark did not answer");
        }
        // Not listening yet (it is still starting): try again shortly.
        lastError = errno;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return posixError(lastError, "Could not reach the running Tidemark at “" + path + "”");
}

}  // namespace platform
