#include "platform/LoopbackEngine.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::loopback {

using detail::urlError;

Engine::~Engine() { closeAll(); }

void Engine::stop() {
    invalidate();
    closeAll();
}

void Engine::closeAll() {
    for (auto& [id, connection] : connections_) {
        if (connection.watch) queue_->unwatch(*connection.watch);
        ::close(connection.fd);
    }
    connections_.clear();
}

// An idle connection that the server has not closed meanwhile.
std::optional<uint64_t> Engine::idleConnection(const std::string& key) {
    std::vector<uint64_t> gone;
    std::optional<uint64_t> found;
    for (auto& [id, connection] : connections_) {
        if (connection.key != key || connection.phase != Connection::Phase::idle) continue;
        char byte;
        const ssize_t peeked = ::recv(connection.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            found = id;
            break;
        }
        gone.push_back(id);  // closed, failed, or talking out of turn
    }
    for (auto id : gone) close(id);
    return found;
}

void Engine::open(uint64_t id) {
    auto& transfer = transfers_.at(id);
    const int fd = ::socket(transfer.target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(id, urlError(URLErrorUnknown, std::string("Could not open a socket: ") + std::strerror(errno)));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint64_t connectionId = nextId_++;
    Connection& connection = connections_[connectionId];
    connection.fd = fd;
    connection.key = transfer.target.key;
    connection.transfer = id;
    transfer.connection = connectionId;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&transfer.target.address), transfer.target.addressLength) == 0) {
        connection.phase = Connection::Phase::sending;
        return sendMore(connectionId);
    }
    if (errno != EINPROGRESS) return broke(connectionId, errno);
    setWatch(connectionId, POLLOUT, DispatchQueue::WatchWake::atOnce);
}

void Engine::onReady(uint64_t connectionId, short revents) {
    auto found = connections_.find(connectionId);
    if (found == connections_.end()) return;
    Connection& connection = found->second;
    switch (connection.phase) {
    case Connection::Phase::connecting: {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error != 0) return broke(connectionId, error);
        connection.phase = Connection::Phase::sending;
        return sendMore(connectionId);
    }
    case Connection::Phase::sending:
        // The server may answer before it has read everything (a refusal of a large body).
        if (revents & (POLLIN | POLLHUP | POLLERR)) return readReply(connectionId);
        return sendMore(connectionId);
    case Connection::Phase::awaitingReply:
        return readReply(connectionId);
    case Connection::Phase::idle:
        return;
    }
}

void Engine::sendMore(uint64_t connectionId) {
    Connection& connection = connections_.at(connectionId);
    Transfer& transfer = transfers_.at(connection.transfer);
    while (transfer.sent < transfer.bytes.size()) {
        const ssize_t sent = ::send(connection.fd, transfer.bytes.data() + transfer.sent,
                                    transfer.bytes.size() - transfer.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            transfer.sent += static_cast<size_t>(sent);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return setWatch(connectionId, POLLOUT | POLLIN, DispatchQueue::WatchWake::atOnce);
        } else if (errno != EINTR) {
            return broke(connectionId, errno);
        }
    }
    connection.phase = Connection::Phase::awaitingReply;
    setWatch(connectionId, POLLIN, replyWake(transfer));
}

void Engine::readReply(uint64_t connectionId) {
    Connection& connection = connections_.at(connectionId);
    const uint64_t id = connection.transfer;
    Transfer& transfer = transfers_.at(id);
    char buffer[16384];
    for (;;) {
        const ssize_t received = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            return broke(connectionId, errno);
        }
        switch (transfer.reader->feed(buffer, static_cast<size_t>(received))) {
        case ReplyReader::State::complete:
            return replied(connectionId);
        case ReplyReader::State::failed:
            if (received == 0) return broke(connectionId, 0);
            close(connectionId);
            return fail(id, urlError(URLErrorUnknown, "The server's reply is not valid HTTP."));
        case ReplyReader::State::incomplete:
            break;
        }
    }
}

// A reused connection that the server closed before it read the request is tried once
// more on a new one, as curl does.
void Engine::broke(uint64_t connectionId, int error) {
    const Connection& connection = connections_.at(connectionId);
    const uint64_t id = connection.transfer;
    const bool connecting = connection.phase == Connection::Phase::connecting;
    const bool reused = connection.reused;
    close(connectionId);
    auto& transfer = transfers_.at(id);
    transfer.connection = 0;
    if (reused && !transfer.retried && !transfer.reader->receivedAnything()) {
        transfer.retried = true;
        transfer.sent = 0;
        transfer.reader = std::make_unique<ReplyReader>(transfer.request.httpMethod == "HEAD");
        waiting_[transfer.target.key].push_front(id);
        return pump(transfer.target.key);
    }
    if (connecting)
        return fail(id, urlError(URLErrorCannotConnectToHost, "Could not connect to the server."));
    std::string text = transfer.reader->receivedAnything() ? "The connection closed before the whole reply arrived"
                                                           : "The server closed the connection without replying";
    if (error != 0) text += std::string(": ") + std::strerror(error);
    fail(id, urlError(URLErrorUnknown, text + "."));
}

void Engine::setWatch(uint64_t connectionId, short events, DispatchQueue::WatchWake wake) {
    Connection& connection = connections_.at(connectionId);
    if (connection.watch) {
        if (events != connection.events || wake != connection.wake) queue_->changeWatch(*connection.watch, events, wake);
    } else {
        connection.watch = queue_->watch(
            connection.fd, events,
            [weak = weak_from_this(), connectionId](short revents) {
                if (auto self = weak.lock()) self->onReady(connectionId, revents);
            },
            wake);
        if (!connection.watch) {
            const uint64_t id = connection.transfer;
            close(connectionId);
            return fail(id, urlError(URLErrorUnknown, "The session's queue cannot watch the connection."));
        }
    }
    connection.events = events;
    connection.wake = wake;
}

void Engine::close(uint64_t connectionId) {
    auto found = connections_.find(connectionId);
    if (found == connections_.end()) return;
    if (found->second.watch) queue_->unwatch(*found->second.watch);
    ::close(found->second.fd);
    if (auto transfer = transfers_.find(found->second.transfer); transfer != transfers_.end())
        if (transfer->second.connection == connectionId) transfer->second.connection = 0;
    connections_.erase(found);
}

}  // namespace platform::loopback
