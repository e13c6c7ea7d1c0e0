#include "platform/CurlSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/CurlLibrary.h"
#include "platform/CurlQueueDriver.h"
#include "platform/Dispatch.h"
#include "platform/URLSessionShared.h"

namespace platform {

namespace {

using detail::cancelledError;
using detail::headerValue;
using detail::trimmed;
using detail::urlError;

constexpr long maximumConnectionsPerHost = 6;

bool isSupportedURL(const CurlLibrary& curl, const std::string& url) {
    CURLU* parsed = curl.url();
    if (!parsed) return false;
    bool supported = false;
    if (curl.url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        if (curl.url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl.url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            const std::string_view s(scheme);
            supported = (s == "http" || s == "https") && host[0] != '\0';
        }
        curl.free(scheme);
        curl.free(host);
    }
    curl.url_cleanup(parsed);
    return supported;
}

class SessionCore;

class DataTask final : public URLSessionDataTask, public std::enable_shared_from_this<DataTask> {
public:
    DataTask(std::shared_ptr<SessionCore> core, URLRequest request, URLSession::Completion completion)
        : request(std::move(request)), core_(std::move(core)), completion_(std::move(completion)) {}
    ~DataTask() override;

    void resume() override;
    void cancel() override;

    // Calls the completion unless that already happened; true when this call did it.
    bool finish(std::optional<std::string> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
        if (completed_.exchange(true)) return false;
        auto completion = std::move(completion_);
        completion_ = nullptr;
        if (completion) completion(std::move(data), std::move(response), std::move(error));
        return true;
    }
    bool isCompleted() const { return completed_; }

    // Touched only on the session thread.
    URLRequest request;
    bool started = false;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string body;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    char errorBuffer[CURL_ERROR_SIZE] = {};

private:
    std::shared_ptr<SessionCore> core_;
    URLSession::Completion completion_;
    std::atomic<bool> completed_{false};
};

// The multi handle and everything on it belong to the session thread; other threads
// only queue operations and wake it.
class SessionCore : public std::enable_shared_from_this<SessionCore> {
public:
    struct Operation {
        enum class Kind { resume, cancel, invalidate, stop } kind;
        std::shared_ptr<DataTask> task;
    };

    SessionCore(const CurlLibrary& curl, URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue)
        : configuration(std::move(configuration)), curl_(curl), queue_(std::move(queue)) {
        if (queue_)
            driver_ = std::make_unique<CurlQueueDriver>(curl_, queue_, this->configuration.responsesWaitForQueueWake);
    }

    static constexpr int idleWaitMs = 3600 * 1000;

    void start() {
        multi_ = curl_.multi_init();
        if (!multi_) {
            stopped_ = true;
            return;
        }
        // As the platform does: a few connections per host, the rest wait their turn
        // rather than flooding a small server's accept queue.
        curl_.multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, maximumConnectionsPerHost);
        if (driver_) {
            driver_->attach(multi_, weak_from_this(), [this](curl_socket_t socket, int events) {
                socketAction(socket, events);
            });
            return;
        }
        thread_ = std::thread([self = shared_from_this()] { self->loop(); });
    }

    // False once the session has stopped: nothing more will run.
    bool post(Operation operation) {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        if (queue_) {
            if (operation.kind == Operation::Kind::stop) stopped_ = true;
            queue_->async([self = shared_from_this(), operation = std::move(operation)]() mutable {
                self->applyOnQueue(std::move(operation));
            });
            return true;
        }
        operations_.push_back(std::move(operation));
        curl_.multi_wakeup(multi_);
        return true;
    }

    void shutdown() {
        post({Operation::Kind::stop, nullptr});
        if (!thread_.joinable()) return;
        // The last reference may go away inside a completion on the thread itself.
        if (std::this_thread::get_id() == thread_.get_id())
            thread_.detach();
        else
            thread_.join();
    }

    const URLSessionConfiguration configuration;

private:
    void loop() {
        for (;;) {
            std::deque<Operation> batch;
            {
                std::lock_guard lock(mutex_);
                batch.swap(operations_);
            }
            bool stopping = false;
            for (auto& operation : batch) stopping = apply(operation) || stopping;
            if (stopping) break;
            int running = 0;
            curl_.multi_perform(multi_, &running);
            completeFinishedTransfers();
            // curl shortens the wait to its own next deadline while transfers run, and
            // post() wakes it: an idle session sleeps instead of ticking every second.
            curl_.multi_poll(multi_, nullptr, 0, idleWaitMs, nullptr);
        }
        std::deque<Operation> left;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            left.swap(operations_);
        }
        for (auto& operation : left)
            if (operation.task) operation.task->finish(std::nullopt, std::nullopt, cancelledError());
        cancelAll();
        curl_.multi_cleanup(multi_);
        multi_ = nullptr;
    }

    // True for the stop operation.
    bool apply(Operation& operation) {
        switch (operation.kind) {
        case Operation::Kind::resume:
            if (operation.task->started || operation.task->isCompleted()) break;
            if (invalidated_)
                operation.task->finish(std::nullopt, std::nullopt, cancelledError());
            else
                startTransfer(operation.task);
            break;
        case Operation::Kind::cancel:
            if (operation.task->easy) removeTransfer(*operation.task);
            operation.task->finish(std::nullopt, std::nullopt, cancelledError());
            break;
        case Operation::Kind::invalidate:
            invalidated_ = true;
            cancelAll();
            break;
        case Operation::Kind::stop:
            return true;
        }
        return false;
    }

    void completeFinishedTransfers() {
        int queued = 0;
        while (CURLMsg* message = curl_.multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            completeTransfer(message->easy_handle, message->data.result);
        }
    }

    // Queue-driven sessions: everything below runs on the queue.
    void applyOnQueue(Operation operation) {
        if (!multi_) return;
        if (apply(operation)) {
            cancelAll();
            curl_.multi_cleanup(multi_);
            multi_ = nullptr;
            driver_->detach();
            return;
        }
        // A transfer just added is started by curl's timer callback (a deadline of 0).
    }

    void socketAction(curl_socket_t socket, int events) {
        if (!multi_) return;
        int running = 0;
        curl_.multi_socket_action(multi_, socket, events, &running);
        completeFinishedTransfers();
    }

    void cancelAll() {
        std::vector<std::shared_ptr<DataTask>> tasks;
        for (auto& [easy, task] : active_) tasks.push_back(task);
        for (auto& task : tasks) {
            removeTransfer(*task);
            task->finish(std::nullopt, std::nullopt, cancelledError());
        }
    }

    void startTransfer(const std::shared_ptr<DataTask>& task) {
        task->started = true;
        if (!isSupportedURL(curl_, task->request.url)) {
            task->finish(std::nullopt, std::nullopt, urlError(URLErrorBadURL, "unsupported URL"));
            return;
        }
        CURL* easy = curl_.easy_init();
        if (!easy) {
            task->finish(std::nullopt, std::nullopt, urlError(URLErrorUnknown, "Could not create a transfer"));
            return;
        }
        task->easy = easy;
        configure(*task);
        active_[easy] = task;
        if (curl_.multi_add_handle(multi_, easy) != CURLM_OK) {
            removeTransfer(*task);
            task->finish(std::nullopt, std::nullopt, urlError(URLErrorUnknown, "Could not start the transfer"));
        }
    }

    void configure(DataTask& task) {
        CURL* easy = task.easy;
        const URLRequest& request = task.request;
        curl_.easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_.easy_setopt(easy, CURLOPT_PRIVATE, &task);
        curl_.easy_setopt(easy, CURLOPT_ERRORBUFFER, task.errorBuffer);
        curl_.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // Loopback traffic (the local server) must never be routed through a proxy.
        curl_.easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_.easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_.easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_.easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        const double seconds = request.timeoutInterval.value_or(configuration.timeoutIntervalForRequest);
        if (seconds > 0 && std::isfinite(seconds)) {
            const long milliseconds = static_cast<long>(std::clamp(std::llround(seconds * 1000), 1LL, 1'000'000'000LL));
            curl_.easy_setopt(easy, CURLOPT_TIMEOUT_MS, milliseconds);
        }

        const std::string& method = request.httpMethod;
        const bool hasBody = request.httpBody.has_value();
        if (method == "HEAD") {
            curl_.easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (method == "GET" && !hasBody) {
            curl_.easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (hasBody || method == "POST") {
            const std::string& data = hasBody ? *request.httpBody : task.body;  // body is still empty here
            curl_.easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
            curl_.easy_setopt(easy, CURLOPT_POSTFIELDS, data.c_str());
            if (method != "POST") curl_.easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else {
            curl_.easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        // Headers go out as given: no 100-continue dance, no form content type of curl's.
        for (const auto& [name, value] : request.headers) {
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            task.headerList = curl_.slist_append(task.headerList, line.c_str());
        }
        if (!headerValue(request.headers, "Expect")) task.headerList = curl_.slist_append(task.headerList, "Expect:");
        if ((hasBody || method == "POST") && !headerValue(request.headers, "Content-Type"))
            task.headerList = curl_.slist_append(task.headerList, "Content-Type:");
        curl_.easy_setopt(easy, CURLOPT_HTTPHEADER, task.headerList);

        curl_.easy_setopt(easy, CURLOPT_WRITEFUNCTION, &SessionCore::onBody);
        curl_.easy_setopt(easy, CURLOPT_WRITEDATA, &task);
        curl_.easy_setopt(easy, CURLOPT_HEADERFUNCTION, &SessionCore::onHeader);
        curl_.easy_setopt(easy, CURLOPT_HEADERDATA, &task);
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        static_cast<DataTask*>(user)->body.append(data, size * count);
        return size * count;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto& task = *static_cast<DataTask*>(user);
        const std::string_view line(data, size * count);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new response (after a redirect or an interim 1xx) starts its own headers.
            task.responseHeaders.clear();
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            task.responseHeaders.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                              std::string(trimmed(line.substr(colon + 1))));
        }
        return size * count;
    }

    void removeTransfer(DataTask& task) {
        if (!task.easy) return;
        curl_.multi_remove_handle(multi_, task.easy);
        curl_.easy_cleanup(task.easy);
        active_.erase(task.easy);
        task.easy = nullptr;
        curl_.slist_free_all(task.headerList);
        task.headerList = nullptr;
    }

    void completeTransfer(CURL* easy, CURLcode result) {
        auto found = active_.find(easy);
        if (found == active_.end()) return;
        std::shared_ptr<DataTask> task = found->second;
        std::optional<HTTPURLResponse> response;
        std::optional<Error> error;
        if (result == CURLE_OK) {
            HTTPURLResponse http;
            char* effectiveURL = nullptr;
            curl_.easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveURL);
            http.url = effectiveURL ? effectiveURL : task->request.url;
            curl_.easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &http.statusCode);
            http.headers = std::move(task->responseHeaders);
            response = std::move(http);
        } else {
            error = transferError(result, task->errorBuffer);
        }
        removeTransfer(*task);
        if (response)
            task->finish(std::move(task->body), std::move(response), std::nullopt);
        else
            task->finish(std::nullopt, std::nullopt, std::move(error));
    }

    Error transferError(CURLcode result, const char* detail) const {
        switch (result) {
        case CURLE_OPERATION_TIMEDOUT:
            return urlError(URLErrorTimedOut, "The request timed out.");
        case CURLE_COULDNT_CONNECT:
            return urlError(URLErrorCannotConnectToHost, "Could not connect to the server.");
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return urlError(URLErrorBadURL, "unsupported URL");
        default:
            return urlError(URLErrorUnknown, detail && detail[0] ? detail : curl_.easy_strerror(result));
        }
    }

    const CurlLibrary& curl_;
    std::mutex mutex_;
    std::deque<Operation> operations_;
    bool stopped_ = false;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    // Queue-driven sessions only (touched on the queue).
    const std::shared_ptr<DispatchQueue> queue_;
    std::unique_ptr<CurlQueueDriver> driver_;
    // Session thread only.
    bool invalidated_ = false;
    std::map<CURL*, std::shared_ptr<DataTask>> active_;
};

DataTask::~DataTask() = default;

void DataTask::resume() {
    if (isCompleted()) return;
    // A session that is gone has no thread left to report on.
    if (!core_->post({SessionCore::Operation::Kind::resume, shared_from_this()}))
        finish(std::nullopt, std::nullopt, cancelledError());
}

void DataTask::cancel() {
    if (isCompleted()) return;
    if (!core_->post({SessionCore::Operation::Kind::cancel, shared_from_this()}))
        finish(std::nullopt, std::nullopt, cancelledError());
}

class CurlSession final : public URLSession {
public:
    CurlSession(const CurlLibrary& curl, URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue)
        : core_(std::make_shared<SessionCore>(curl, std::move(configuration), std::move(queue))) {
        core_->start();
    }
    ~CurlSession() override { core_->shutdown(); }

    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, Completion completion) override {
        return std::make_shared<DataTask>(core_, std::move(request), std::move(completion));
    }
    void invalidateAndCancel() override { core_->post({SessionCore::Operation::Kind::invalidate, nullptr}); }
    const URLSessionConfiguration& configuration() const override { return core_->configuration; }

private:
    std::shared_ptr<SessionCore> core_;
};

// Without libcurl every task still completes once, with the reason it could not be
// loaded, on the queue or on a thread of the session's own, as a transfer would.
class UnloadedSession final : public URLSession {
public:
    UnloadedSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue, Error failure)
        : state_(std::make_shared<State>(std::move(configuration),
                                         queue ? std::move(queue) : DispatchQueue::serial("tidemark.urlsession"),
                                         std::move(failure))) {}

    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest, Completion completion) override {
        return std::make_shared<FailedTask>(state_, std::move(completion));
    }
    void invalidateAndCancel() override { state_->invalidated = true; }
    const URLSessionConfiguration& configuration() const override { return state_->configuration; }

private:
    struct State {
        State(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue, Error failure)
            : configuration(std::move(configuration)), queue(std::move(queue)), failure(std::move(failure)) {}
        const URLSessionConfiguration configuration;
        const std::shared_ptr<DispatchQueue> queue;
        const Error failure;
        std::atomic<bool> invalidated{false};
    };

    class FailedTask final : public URLSessionDataTask, public std::enable_shared_from_this<FailedTask> {
    public:
        FailedTask(std::shared_ptr<State> state, Completion completion)
            : state_(std::move(state)), completion_(std::move(completion)) {}

        // As on a working session: a task resumed after invalidateAndCancel is cancelled.
        void resume() override {
            const bool invalidated = state_->invalidated;
            post(invalidated ? cancelledError() : state_->failure);
        }
        void cancel() override { post(cancelledError()); }

    private:
        // Only the first call counts: a resumed task has failed at once, a cancelled one is done.
        void post(Error error) {
            if (scheduled_.exchange(true)) return;
            state_->queue->async([self = shared_from_this(), error = std::move(error)] {
                auto completion = std::move(self->completion_);
                self->completion_ = nullptr;
                if (completion) completion(std::nullopt, std::nullopt, error);
            });
        }

        const std::shared_ptr<State> state_;
        Completion completion_;
        std::atomic<bool> scheduled_{false};
    };

    std::shared_ptr<State> state_;
};

}  // namespace

std::shared_ptr<URLSession> makeCurlSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue) {
    std::string failure;
    if (const CurlLibrary* curl = loadCurlLibrary(&failure))
        return std::make_shared<CurlSession>(*curl, std::move(configuration), std::move(queue));
    return std::make_shared<UnloadedSession>(std::move(configuration), std::move(queue),
                                             urlError(URLErrorUnknown, "libcurl could not be loaded: " + failure));
}

}  // namespace platform
