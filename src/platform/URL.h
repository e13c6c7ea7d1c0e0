#pragma once
#include <optional>
#include <string>

namespace platform {

// An absolute URL such as http://127.0.0.1:10000/api/health?x=1.
class URL {
public:
    // Absent when the text is not an absolute URL with a scheme and a host.
    static std::optional<URL> parse(const std::string& text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }      // lower case
    std::optional<int> port() const { return port_; }
    const std::string& path() const { return path_; }      // "/" at least
    const std::optional<std::string>& query() const { return query_; }

    // Appends one path component, adding a "/" between when needed; the query and
    // fragment are dropped.
    URL appendingPathComponent(const std::string& component) const;

    bool operator==(const URL& other) const { return text_ == other.text_; }

private:
    std::string text_, scheme_, host_, path_;
    std::optional<int> port_;
    std::optional<std::string> query_;
};

// Percent-encodes every byte except letters, digits, "-._~" and the characters in
// `alsoAllowed` (upper-case hexadecimal).
std::string percentEncoded(const std::string& text, const std::string& alsoAllowed = "");

}  // namespace platform
