#include "platform/CurlQueueDriver.h"

#include <poll.h>

#include <chrono>

namespace platform {

namespace {

// How long before curl's next deadline replies wake the queue again. curl checks a
// transfer's time limit before it reads what has arrived, so a reply that came in time
// must be read before the limit.
constexpr auto urgentMargin = std::chrono::milliseconds(100);

}  // namespace

CurlQueueDriver::CurlQueueDriver(const CurlLibrary& curl, std::shared_ptr<DispatchQueue> queue, bool repliesWait)
    : curl_(curl), queue_(std::move(queue)), repliesWait_(repliesWait) {}

void CurlQueueDriver::attach(CURLM* multi, std::weak_ptr<void> owner, Action action) {
    owner_ = std::move(owner);
    action_ = std::move(action);
    curl_.multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlQueueDriver::onSocket);
    curl_.multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_.multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlQueueDriver::onTimer);
    curl_.multi_setopt(multi, CURLMOPT_TIMERDATA, this);
}

void CurlQueueDriver::detach() {
    for (const auto& [socket, watch] : socketWatches_) queue_->unwatch(watch.identifier);
    socketWatches_.clear();
    for (auto* entry : {&timerEntry_, &urgentEntry_}) {
        if (*entry) queue_->cancelAsyncAt(**entry);
        entry->reset();
    }
}

Task CurlQueueDriver::whileAlive(std::function<void(CurlQueueDriver&)> body) {
    return [owner = owner_, driver = this, body = std::move(body)] {
        const auto alive = owner.lock();
        if (alive) body(*driver);
    };
}

int CurlQueueDriver::onSocket(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto& driver = *static_cast<CurlQueueDriver*>(user);
    auto found = driver.socketWatches_.find(socket);
    if (what == CURL_POLL_REMOVE) {
        if (found != driver.socketWatches_.end()) {
            driver.queue_->unwatch(found->second.identifier);
            driver.socketWatches_.erase(found);
        }
        return 0;
    }
    const short events = static_cast<short>(((what & CURL_POLL_IN) ? POLLIN : 0) | ((what & CURL_POLL_OUT) ? POLLOUT : 0));
    const auto wake = driver.wakeFor(events);
    if (found != driver.socketWatches_.end()) {
        driver.queue_->changeWatch(found->second.identifier, events, wake);
        found->second.events = events;
        found->second.wake = wake;
        return 0;
    }
    auto handler = [owner = driver.owner_, &driver, socket](short revents) {
        const auto alive = owner.lock();
        if (!alive) return;
        int flags = 0;
        if (revents & (POLLIN | POLLHUP)) flags |= CURL_CSELECT_IN;
        if (revents & POLLOUT) flags |= CURL_CSELECT_OUT;
        if (revents & (POLLERR | POLLNVAL)) flags |= CURL_CSELECT_ERR;
        driver.action_(socket, flags);
    };
    auto watch = driver.queue_->watch(socket, events, std::move(handler), wake);
    if (!watch) return -1;
    driver.socketWatches_.emplace(socket, SocketWatch{*watch, events, wake});
    return 0;
}

int CurlQueueDriver::onTimer(CURLM*, long timeoutMs, void* user) {
    auto& driver = *static_cast<CurlQueueDriver*>(user);
    if (driver.timerEntry_) driver.queue_->cancelAsyncAt(*driver.timerEntry_);
    driver.timerEntry_.reset();
    driver.scheduleUrgentReplies(timeoutMs);
    if (timeoutMs < 0) return 0;
    // Never from inside this callback: curl is in the middle of its own call.
    driver.timerEntry_ = driver.queue_->asyncAt(
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs), Duration::zero(),
        driver.whileAlive([](CurlQueueDriver& self) {
            self.timerEntry_.reset();
            self.action_(CURL_SOCKET_TIMEOUT, 0);
        }));
    return 0;
}

void CurlQueueDriver::scheduleUrgentReplies(long timeoutMs) {
    if (!repliesWait_) return;
    if (urgentEntry_) queue_->cancelAsyncAt(*urgentEntry_);
    urgentEntry_.reset();
    const auto left = std::chrono::milliseconds(timeoutMs) - urgentMargin;
    setRepliesUrgent(timeoutMs >= 0 && left <= Duration::zero());
    if (timeoutMs < 0 || repliesUrgent_) return;
    urgentEntry_ = queue_->asyncAt(std::chrono::steady_clock::now() + left, Duration::zero(),
                                   whileAlive([](CurlQueueDriver& self) {
                                       self.urgentEntry_.reset();
                                       self.setRepliesUrgent(true);
                                   }));
}

// Only a wait for the reply may be put off; a connect or a full send buffer is not.
DispatchQueue::WatchWake CurlQueueDriver::wakeFor(short events) const {
    return repliesWait_ && events == POLLIN && !repliesUrgent_ ? DispatchQueue::WatchWake::withOtherWork
                                                               : DispatchQueue::WatchWake::atOnce;
}

void CurlQueueDriver::setRepliesUrgent(bool urgent) {
    repliesUrgent_ = urgent;
    for (auto& [socket, watch] : socketWatches_) {
        const auto wake = wakeFor(watch.events);
        if (wake == watch.wake) continue;
        watch.wake = wake;
        queue_->changeWatch(watch.identifier, watch.events, wake);
    }
}

}  // namespace platform
