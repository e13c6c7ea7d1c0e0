#pragma once
#include <optional>
#include <string>

#include "platform/Error.h"

// Why the local server could not be used.
class ServerError {
public:
    enum class Case { launchFailed = 0, healthCheckTimedOut = 1 };
    static constexpr const char* domain = "Tidemark.ServerError";

    static ServerError launchFailed(std::string message) { return ServerError(Case::launchFailed, std::move(message)); }
    static ServerError healthCheckTimedOut() { return ServerError(Case::healthCheckTimedOut, {}); }

    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }
    std::string errorDescription() const;

    // As a platform error (domain above, code = the case number, the description text).
    platform::Error asError() const;
    // The server error an error value carries, if it is one.
    static std::optional<ServerError> from(const platform::Error& error);

private:
    ServerError(Case kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Case kind_;
    std::string message_;
};
