#include "platform/LoopbackSession.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/Dispatch.h"
#include "platform/LoopbackHTTP.h"
#include "platform/URLSessionShared.h"

namespace platform {

namespace {

constexpr size_t maximumConnectionsPerHost = 6;
constexpr int maximumRedirects = 16;
// How long before a request's time limit a reply that may wait wakes the queue after all.
constexpr auto urgentMargin = std::chrono::milliseconds(100);

using detail::cancelledError;
using detail::sameHeaderName;
using detail::urlError;

bool isRedirect(long status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

class Engine;

class LoopbackTask final : public URLSessionDataTask, public std::enable_shared_from_this<LoopbackTask> {
public:
    LoopbackTask(std::shared_ptr<Engine> engine, URLRequest request, URLSession::Completion completion)
        : request(std::move(request)), engine_(std::move(engine)), completion_(std::move(completion)) {}

    void resume() override;
    void cancel() override;

    // Calls the completion unless that already happened.
    void finish(std::optional<std::string> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
        if (completed_.exchange(true)) return;
        auto completion = std::move(completion_);
        completion_ = nullptr;
        if (completion) completion(std::move(data), std::move(response), std::move(error));
    }
    bool isCompleted() const { return completed_; }

    // Touched on the engine's queue only.
    const URLRequest request;
    bool started = false;
    uint64_t transfer = 0;

private:
    std::shared_ptr<Engine> engine_;
    URLSession::Completion completion_;
    std::atomic<bool> completed_{false};
};

struct Transfer {
    std::shared_ptr<LoopbackTask> task;
    URLRequest request;  // as sent last: redirects change it
    std::string url;
    LoopbackTarget target;
    std::string bytes;
    size_t sent = 0;
    std::unique_ptr<ReplyReader> reader;
    int redirects = 0;
    bool retried = false;
    bool urgent = false;
    std::optional<uint64_t> deadlineEntry, urgentEntry;
    uint64_t connection = 0;
};

struct Connection {
    enum class Phase { connecting, sending, awaitingReply, idle };
    int fd = -1;
    std::string key;
    Phase phase = Phase::connecting;
    bool reused = false;
    std::optional<uint64_t> watch;
    short events = 0;
    DispatchQueue::WatchWake wake = DispatchQueue::WatchWake::atOnce;
    uint64_t transfer = 0;
};

// Everything but post() and shutdown() runs on the queue.
class Engine : public std::enable_shared_from_this<Engine> {
public:
    Engine(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue)
        : configuration(std::move(configuration)), queue_(std::move(queue)) {}

    ~Engine() {
        for (auto& [id, connection] : connections_) {
            if (connection.watch) queue_->unwatch(*connection.watch);
            ::close(connection.fd);
        }
    }

    // False once the session has stopped: nothing more will run.
    bool post(std::function<void(Engine&)> operation) {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        queue_->async([self = shared_from_this(), operation = std::move(operation)] { operation(*self); });
        return true;
    }

    void shutdown() {
        post([](Engine& engine) { engine.stop(); });
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }

    void start(const std::shared_ptr<LoopbackTask>& task);
    void cancel(const std::shared_ptr<LoopbackTask>& task) {
        task->started = true;
        if (task->transfer)
            fail(task->transfer, cancelledError());
        else
            task->finish(std::nullopt, std::nullopt, cancelledError());
    }
    void invalidate() {
        invalidated_ = true;
        std::vector<uint64_t> running;
        for (const auto& [id, transfer] : transfers_) running.push_back(id);
        for (auto id : running) fail(id, cancelledError());
    }

    const URLSessionConfiguration configuration;

private:
    void stop() {
        invalidate();
        for (auto& [id, connection] : connections_) {
            if (connection.watch) queue_->unwatch(*connection.watch);
            ::close(connection.fd);
        }
        connections_.clear();
    }

    Task whileAlive(std::function<void(Engine&)> body) {
        return [weak = weak_from_this(), body = std::move(body)] {
            if (auto self = weak.lock()) body(*self);
        };
    }

    void scheduleLimits(uint64_t id, Transfer& transfer);
    void pump(const std::string& key);
    void pumpOnce(const std::string& key);
    std::optional<uint64_t> idleConnection(const std::string& key);
    void open(uint64_t id);
    void onReady(uint64_t connectionId, short revents);
    void sendMore(uint64_t connectionId);
    void readReply(uint64_t connectionId);
    void replied(uint64_t connectionId);
    void broke(uint64_t connectionId, int error);
    void redirect(uint64_t id, const std::string& location, long status);
    void fail(uint64_t id, Error error);
    void setWatch(uint64_t connectionId, short events, DispatchQueue::WatchWake wake);
    void close(uint64_t connectionId);
    DispatchQueue::WatchWake replyWake(const Transfer& transfer) const {
        return configuration.responsesWaitForQueueWake && !transfer.urgent ? DispatchQueue::WatchWake::withOtherWork
                                                                           : DispatchQueue::WatchWake::atOnce;
    }
    // Takes the transfer out of every table; its connection is the caller's business.
    Transfer take(uint64_t id);

    const std::shared_ptr<DispatchQueue> queue_;
    std::mutex mutex_;
    bool stopped_ = false;  // guarded by mutex_

    bool invalidated_ = false;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Transfer> transfers_;
    std::map<uint64_t, Connection> connections_;
    std::map<std::string, std::deque<uint64_t>> waiting_;  // by host and port
    std::set<std::string> toPump_;
    bool pumping_ = false;
};

void LoopbackTask::resume() {
    if (isCompleted()) return;
    if (!engine_->post([task = shared_from_this()](Engine& engine) { engine.start(task); }))
        finish(std::nullopt, std::nullopt, cancelledError());
}

void LoopbackTask::cancel() {
    if (isCompleted()) return;
    if (!engine_->post([task = shared_from_this()](Engine& engine) { engine.cancel(task); }))
        finish(std::nullopt, std::nullopt, cancelledError());
}

void Engine::start(const std::shared_ptr<LoopbackTask>& task) {
    if (task->started || task->isCompleted()) return;
    task->started = true;
    if (invalidated_) return task->finish(std::nullopt, std::nullopt, cancelledError());
    auto target = loopbackTarget(task->request.url);
    if (!target) return task->finish(std::nullopt, std::nullopt, urlError(URLErrorBadURL, "unsupported URL"));
    auto bytes = requestBytes(task->request, *target);
    if (auto* error = std::get_if<Error>(&bytes)) return task->finish(std::nullopt, std::nullopt, *error);

    const uint64_t id = nextId_++;
    Transfer transfer;
    transfer.task = task;
    transfer.request = task->request;
    transfer.url = task->request.url;
    transfer.target = std::move(*target);
    transfer.bytes = std::move(std::get<std::string>(bytes));
    transfer.reader = std::make_unique<ReplyReader>(transfer.request.httpMethod == "HEAD");
    scheduleLimits(id, transfer);
    task->transfer = id;
    waiting_[transfer.target.key].push_back(id);
    const std::string key = transfer.target.key;
    transfers_.emplace(id, std::move(transfer));
    pump(key);
}

void Engine::scheduleLimits(uint64_t id, Transfer& transfer) {
    const double seconds = transfer.request.timeoutInterval.value_or(configuration.timeoutIntervalForRequest);
    if (!(seconds > 0) || !std::isfinite(seconds)) return;
    const auto limit = std::chrono::milliseconds(std::clamp(std::llround(seconds * 1000), 1LL, 1'000'000'000LL));
    const auto now = std::chrono::steady_clock::now();
    transfer.deadlineEntry = queue_->asyncAt(now + limit, Duration::zero(), whileAlive([id](Engine& engine) {
        if (auto found = engine.transfers_.find(id); found != engine.transfers_.end()) found->second.deadlineEntry.reset();
        engine.fail(id, urlError(URLErrorTimedOut, "The request timed out."));
    }));
    if (!configuration.responsesWaitForQueueWake) return;
    if (limit <= urgentMargin) {
        transfer.urgent = true;
        return;
    }
    // A reply that came in time must be read in time.
    transfer.urgentEntry = queue_->asyncAt(now + limit - urgentMargin, Duration::zero(), whileAlive([id](Engine& engine) {
        auto found = engine.transfers_.find(id);
        if (found == engine.transfers_.end()) return;
        auto& transfer = found->second;
        transfer.urgentEntry.reset();
        transfer.urgent = true;
        auto connection = engine.connections_.find(transfer.connection);
        if (connection != engine.connections_.end() && connection->second.watch)
            engine.setWatch(transfer.connection, connection->second.events, DispatchQueue::WatchWake::atOnce);
    }));
}

// Completions may run inside; a pump they cause joins the one under way.
void Engine::pump(const std::string& key) {
    toPump_.insert(key);
    if (pumping_) return;
    pumping_ = true;
    while (!toPump_.empty()) {
        const std::string next = *toPump_.begin();
        toPump_.erase(toPump_.begin());
        pumpOnce(next);
    }
    pumping_ = false;
}

void Engine::pumpOnce(const std::string& key) {
    for (;;) {
        auto line = waiting_.find(key);
        if (line == waiting_.end()) return;
        if (line->second.empty()) {
            waiting_.erase(line);
            return;
        }
        const uint64_t id = line->second.front();
        if (const auto connectionId = idleConnection(key)) {
            line->second.pop_front();
            Connection& connection = connections_.at(*connectionId);
            transfers_.at(id).connection = *connectionId;
            connection.transfer = id;
            connection.phase = Connection::Phase::sending;
            sendMore(*connectionId);
            continue;
        }
        const auto open = std::count_if(connections_.begin(), connections_.end(),
                                        [&](const auto& entry) { return entry.second.key == key; });
        if (static_cast<size_t>(open) >= maximumConnectionsPerHost) return;
        line->second.pop_front();
        this->open(id);
    }
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

void Engine::replied(uint64_t connectionId) {
    Connection& connection = connections_.at(connectionId);
    const uint64_t id = connection.transfer;
    Transfer& transfer = transfers_.at(id);
    transfer.connection = 0;
    if (transfer.reader->connectionReusable() && transfer.sent == transfer.bytes.size()) {
        // Not watched while idle: the next request finds out whether it is still open.
        connection.phase = Connection::Phase::idle;
        connection.reused = true;
        connection.transfer = 0;
        if (connection.watch) queue_->unwatch(*connection.watch);
        connection.watch.reset();
    } else {
        close(connectionId);
    }
    const auto& reader = *transfer.reader;
    if (isRedirect(reader.status)) {
        for (const auto& [name, value] : reader.headers)
            if (sameHeaderName(name, "Location"))
                return redirect(id, value, reader.status);
    }
    Transfer done = take(id);
    HTTPURLResponse response;
    response.url = done.url;
    response.statusCode = done.reader->status;
    response.headers = std::move(done.reader->headers);
    done.task->finish(std::move(done.reader->body), std::move(response), std::nullopt);
    pump(done.target.key);
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

void Engine::redirect(uint64_t id, const std::string& location, long status) {
    Transfer& transfer = transfers_.at(id);
    if (++transfer.redirects > maximumRedirects)
        return fail(id, urlError(URLErrorUnknown, "Maximum (" + std::to_string(maximumRedirects) + ") redirects followed"));
    const std::string next = resolvedLocation(transfer.target, location);
    auto target = loopbackTarget(next);
    // Nothing this machine serves sends us elsewhere; following would carry our headers out.
    if (!target) return fail(id, urlError(URLErrorUnknown, "The server redirected to an address off this machine."));
    URLRequest request = transfer.request;
    request.url = next;
    if ((status == 303 && request.httpMethod != "HEAD") || ((status == 301 || status == 302) && request.httpMethod == "POST")) {
        request.httpMethod = "GET";
        request.httpBody.reset();
    }
    if (target->key != transfer.target.key) {
        std::erase_if(request.headers, [](const auto& header) {
            return sameHeaderName(header.first, "Authorization") || sameHeaderName(header.first, "Cookie");
        });
    }
    auto bytes = requestBytes(request, *target);
    if (auto* error = std::get_if<Error>(&bytes)) return fail(id, *error);
    transfer.request = std::move(request);
    transfer.url = next;
    transfer.target = std::move(*target);
    transfer.bytes = std::move(std::get<std::string>(bytes));
    transfer.sent = 0;
    transfer.retried = false;
    transfer.reader = std::make_unique<ReplyReader>(transfer.request.httpMethod == "HEAD");
    waiting_[transfer.target.key].push_back(id);
    pump(transfer.target.key);
}

Transfer Engine::take(uint64_t id) {
    auto found = transfers_.find(id);
    Transfer transfer = std::move(found->second);
    transfers_.erase(found);
    for (auto* entry : {&transfer.deadlineEntry, &transfer.urgentEntry})
        if (*entry) queue_->cancelAsyncAt(**entry);
    if (auto line = waiting_.find(transfer.target.key); line != waiting_.end())
        std::erase(line->second, id);
    transfer.task->transfer = 0;
    return transfer;
}

void Engine::fail(uint64_t id, Error error) {
    if (!transfers_.contains(id)) return;
    // A connection in the middle of an exchange cannot carry another one.
    if (const uint64_t connection = transfers_.at(id).connection) close(connection);
    Transfer failed = take(id);
    failed.task->finish(std::nullopt, std::nullopt, std::move(error));
    pump(failed.target.key);
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

class LoopbackSession final : public URLSession {
public:
    LoopbackSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue)
        : engine_(std::make_shared<Engine>(std::move(configuration), std::move(queue))) {}
    ~LoopbackSession() override { engine_->shutdown(); }

    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, Completion completion) override {
        return std::make_shared<LoopbackTask>(engine_, std::move(request), std::move(completion));
    }
    void invalidateAndCancel() override {
        engine_->post([](Engine& engine) { engine.invalidate(); });
    }
    const URLSessionConfiguration& configuration() const override { return engine_->configuration; }

private:
    std::shared_ptr<Engine> engine_;
};

}  // namespace

std::shared_ptr<URLSession> makeLoopbackSession(URLSessionConfiguration configuration,
                                                std::shared_ptr<DispatchQueue> queue) {
    if (!queue || !queue->canWatchDescriptors()) queue = DispatchQueue::serial("Tidemark.URLSession");
    return std::make_shared<LoopbackSession>(std::move(configuration), std::move(queue));
}

bool isLoopbackURL(const std::string& url) { return loopbackTarget(url).has_value(); }

}  // namespace platform
