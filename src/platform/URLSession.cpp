#include "platform/URLSession.h"

#include <algorithm>

#include "platform/CurlSession.h"
#include "platform/Dispatch.h"
#include "platform/URLSessionShared.h"

namespace platform {

using detail::headerValue;
using detail::sameHeaderName;

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
    return makeCurlSession(std::move(configuration), nullptr);
}

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<DispatchQueue> delegateQueue) {
    // A queue that cannot watch descriptors gets a session thread of its own.
    const bool canWatch = delegateQueue && delegateQueue->canWatchDescriptors();
    return makeCurlSession(std::move(configuration), canWatch ? std::move(delegateQueue) : nullptr);
}

}  // namespace platform
