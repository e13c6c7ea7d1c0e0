#include "platform/URLSession.h"

#include <algorithm>
#include <mutex>

#include "platform/CurlSession.h"
#include "platform/Dispatch.h"
#include "platform/LoopbackSession.h"
#include "platform/URL.h"
#include "platform/URLSessionShared.h"

namespace platform {

using detail::headerValue;
using detail::sameHeaderName;

namespace {

// Plain http to this machine goes through a session of our own; everything else through
// curl, whose session is made at its first request, so that a run that never leaves the
// machine never loads curl and its TLS stack.
class RoutingSession final : public URLSession {
public:
    RoutingSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> queue)
        : configuration_(configuration), queue_(queue), loopback_(makeLoopbackSession(std::move(configuration), queue)) {}

    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, Completion completion) override {
        const auto url = URL::parse(request.url);
        const bool leaves = url && (url->scheme() == "https" || url->scheme() == "http") && !isLoopbackURL(request.url);
        return (leaves ? remote() : *loopback_).dataTask(std::move(request), std::move(completion));
    }
    void invalidateAndCancel() override {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        loopback_->invalidateAndCancel();
        if (remote_) remote_->invalidateAndCancel();
    }
    const URLSessionConfiguration& configuration() const override { return configuration_; }

private:
    URLSession& remote() {
        std::lock_guard lock(mutex_);
        if (!remote_) {
            remote_ = makeCurlSession(configuration_, queue_);
            if (invalidated_) remote_->invalidateAndCancel();
        }
        return *remote_;
    }

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<DispatchQueue> queue_;
    const std::shared_ptr<URLSession> loopback_;
    std::mutex mutex_;
    std::shared_ptr<URLSession> remote_;  // guarded by mutex_
    bool invalidated_ = false;            // guarded by mutex_
};

}  // namespace

void URLRequest::setValue(const std::string& value, const std::string& header) {
    auto first = std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return sameHeaderName(h.first, header); });
    if (first == headers.end()) {
        headers.emplace_back(header, value);
        return;
    }
    first->second = value;
    headers.erase(std::remove_if(std::next(first), headers.end(),
                                 [&](const auto& h) { return sameHeaderName(h.first, header); }),
                  headers.end());
}

std::optional<std::string> URLRequest::value(const std::string& header) const { return headerValue(headers, header); }

std::optional<std::string> HTTPURLResponse::value(const std::string& header) const {
    return headerValue(headers, header);
}

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() { return {}; }

URLSessionConfiguration URLSessionConfiguration::ephemeral() {
    URLSessionConfiguration configuration;
    configuration.isEphemeral = true;
    return configuration;
}

URLSession& URLSession::shared() {
    // Left alive for the whole process: completions may still run while statics go away.
    // The holder stays reachable from this static, so leak checkers see it as in use.
    static auto* holder = new std::shared_ptr<URLSession>(make(URLSessionConfiguration::defaultConfiguration()));
    return **holder;
}

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration) {
    return make(std::move(configuration), nullptr);
}

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<DispatchQueue> delegateQueue) {
    // A queue that cannot watch descriptors gets a session thread of its own.
    if (delegateQueue && !delegateQueue->canWatchDescriptors()) delegateQueue = nullptr;
    return std::make_shared<RoutingSession>(std::move(configuration), std::move(delegateQueue));
}

}  // namespace platform
