#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/CurlLibrary.h"
#include "platform/Dispatch.h"

namespace platform {

// Runs a curl multi handle from a serial queue's own sleep: curl's sockets become watches
// on the queue and curl's deadline a deadline of the queue, so the transfers need no
// thread of their own. Used on the queue only.
class CurlQueueDriver {
public:
    // What to do when a socket is ready, or the deadline has come (CURL_SOCKET_TIMEOUT):
    // curl_multi_socket_action and what follows it.
    using Action = std::function<void(curl_socket_t socket, int events)>;

    // With repliesWait, a socket that waits only for a reply does not wake the queue; the
    // reply is read when the queue wakes for other work, or shortly before curl's deadline.
    CurlQueueDriver(const CurlLibrary& curl, std::shared_ptr<DispatchQueue> queue, bool repliesWait);
    CurlQueueDriver(const CurlQueueDriver&) = delete;
    CurlQueueDriver& operator=(const CurlQueueDriver&) = delete;

    // The action runs only while owner is alive; the driver belongs to it.
    void attach(CURLM* multi, std::weak_ptr<void> owner, Action action);
    // Lets go of every watch and deadline: curl may leave sockets it never reported removed.
    void detach();

private:
    struct SocketWatch {
        uint64_t identifier;
        short events;
        DispatchQueue::WatchWake wake;
    };

    static int onSocket(CURL*, curl_socket_t socket, int what, void* user, void*);
    static int onTimer(CURLM*, long timeoutMs, void* user);
    void scheduleUrgentReplies(long timeoutMs);
    DispatchQueue::WatchWake wakeFor(short events) const;
    void setRepliesUrgent(bool urgent);
    // Runs body on this driver when its owner is still alive.
    Task whileAlive(std::function<void(CurlQueueDriver&)> body);

    const CurlLibrary& curl_;
    const std::shared_ptr<DispatchQueue> queue_;
    const bool repliesWait_;
    std::weak_ptr<void> owner_;
    Action action_;
    std::map<curl_socket_t, SocketWatch> socketWatches_;
    std::optional<uint64_t> timerEntry_;
    std::optional<uint64_t> urgentEntry_;
    bool repliesUrgent_ = false;
};

}  // namespace platform
