#pragma once
#include <string>

namespace platform {

// An error value with the text a user can read. The domain and code let callers tell
// kinds of errors apart (for example "Tidemark.ServerError" and its case number).
struct Error {
    std::string domain;
    long code = 0;
    std::string description;

    const std::string& localizedDescription() const { return description; }
    bool operator==(const Error&) const = default;
};

// POSIX errno as an error value, with strerror's text after the given context.
Error posixError(int errnoValue, const std::string& context = {});

}  // namespace platform
