#include "platform/LoopbackSession.h"

#include <algorithm>
#include <cmath>

#include "platform/LoopbackEngine.h"

namespace platform {

namespace loopback {

using detail::cancelledError;
using detail::sameHeaderName;
using detail::urlError;

namespace {

bool isRedirect(long status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

}  // namespace

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

}  // namespace loopback

namespace {

using loopback::Engine;
using loopback::LoopbackTask;

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
