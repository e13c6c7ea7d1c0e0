#pragma once
// The loopback client's engine: its tasks, their transfers and the connections that carry
// them. Transfers and their order are in LoopbackSession.cpp, the sockets in
// LoopbackConnections.cpp.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/Dispatch.h"
#include "platform/LoopbackHTTP.h"
#include "platform/URLSession.h"
#include "platform/URLSessionShared.h"

namespace platform::loopback {

constexpr size_t maximumConnectionsPerHost = 6;
constexpr int maximumRedirects = 16;
// How long before a request's time limit a reply that may wait wakes the queue after all.
constexpr auto urgentMargin = std::chrono::milliseconds(100);

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

    ~Engine();

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
            fail(task->transfer, detail::cancelledError());
        else
            task->finish(std::nullopt, std::nullopt, detail::cancelledError());
    }
    void invalidate() {
        invalidated_ = true;
        std::vector<uint64_t> running;
        for (const auto& [id, transfer] : transfers_) running.push_back(id);
        for (auto id : running) fail(id, detail::cancelledError());
    }

    const URLSessionConfiguration configuration;

private:
    // Cancels everything and lets go of every connection.
    void stop();
    void closeAll();

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

}  // namespace platform::loopback
