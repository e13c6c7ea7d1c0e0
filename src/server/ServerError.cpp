#include "server/ServerError.h"

std::string ServerError::errorDescription() const {
    switch (kind_) {
        case Case::launchFailed:
            return "Could not start Tidemark server: " + message_;
        case Case::healthCheckTimedOut:
            return "Tidemark server did not become ready";
    }
    return {};
}

platform::Error ServerError::asError() const {
    return platform::Error{domain, static_cast<long>(kind_), errorDescription()};
}

std::optional<ServerError> ServerError::from(const platform::Error& error) {
    if (error.domain != domain) return std::nullopt;
    if (error.code == static_cast<long>(Case::healthCheckTimedOut)) return healthCheckTimedOut();
    if (error.code == static_cast<long>(Case::launchFailed)) {
        static const std::string prefix = "Could not start Tidemark server: ";
        const bool hasPrefix = error.description.rfind(prefix, 0) == 0;
        return launchFailed(hasPrefix ? error.description.substr(prefix.size()) : error.description);
    }
    return std::nullopt;
}
