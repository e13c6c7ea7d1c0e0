#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"

namespace platform {

// With the platform's numbering: 0, 1 and 2 (use cached data when present, else load).
enum class CachePolicy { useProtocolCachePolicy, reloadIgnoringLocalCacheData, returnCacheDataElseLoad };

struct URLRequest {
    std::string url;
    std::string httpMethod = "GET";
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> httpBody;
    CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy;
    // Absent: the platform default of 60 seconds, which the session's own request
    // timeout overrides. Present: this request's limit.
    std::optional<double> timeoutInterval;

    void setValue(const std::string& value, const std::string& header);
    std::optional<std::string> value(const std::string& header) const;
};

struct HTTPURLResponse {
    std::string url;
    long statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> value(const std::string& header) const;
};

struct URLSessionConfiguration {
    static URLSessionConfiguration defaultConfiguration();
    // Nothing persisted: no cookies kept, no cache.
    static URLSessionConfiguration ephemeral();

    bool isEphemeral = false;
    double timeoutIntervalForRequest = 60;
    CachePolicy requestCachePolicy = CachePolicy::useProtocolCachePolicy;
    // Sessions driven by a serial queue: a response is read when the queue wakes for its
    // own work (its next tick, the request's deadline) instead of waking it on arrival.
    // For a client that looks at each reply only before its next request.
    bool responsesWaitForQueueWake = false;
};

// Error domain and codes of failed transfers, as the platform names them.
inline constexpr const char* URLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : long {
    URLErrorCancelled = -999,
    URLErrorTimedOut = -1001,
    URLErrorCannotConnectToHost = -1004,
    URLErrorBadURL = -1000,
    URLErrorUnknown = -1,
};

class URLSessionDataTask {
public:
    virtual ~URLSessionDataTask() = default;
    virtual void resume() = 0;
    virtual void cancel() = 0;
};

class DispatchQueue;

// Transfers run on the session's own thread (libcurl multi); completions are called
// there, exactly once per task, with data and response or with an error. A session made
// with a serial delegate queue has no thread: its transfers and completions run on that
// queue, which waits for the sockets in its own sleep.
class URLSession {
public:
    using Completion = std::function<void(std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                                          std::optional<Error> error)>;

    static URLSession& shared();
    static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration);
    static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration,
                                            std::shared_ptr<DispatchQueue> delegateQueue);

    virtual ~URLSession() = default;
    virtual std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, Completion completion) = 0;
    // Cancels every task (their completions report URLErrorCancelled) and refuses new ones.
    virtual void invalidateAndCancel() = 0;
    virtual const URLSessionConfiguration& configuration() const = 0;
};

}  // namespace platform
