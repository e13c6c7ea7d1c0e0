#include "ServerConfig.h"

#include <charconv>
#include <cstdlib>

namespace {

std::optional<int> parsePort(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 1 || value > 65535) return std::nullopt;
    return value;
}

}  // namespace

std::optional<ServerConfig> ServerConfig::fromEnvironment(const Lookup& lookup, std::string& error) {
    ServerConfig config;
    config.token = lookup("TIDEMARK_SERVER_TOKEN").value_or("");
    auto portText = lookup("PORT");
    if (!portText || portText->empty()) portText = lookup("TIDEMARK_PORT");
    if (portText && !portText->empty()) {
        auto port = parsePort(*portText);
        if (!port) {
            error = "invalid port \"" + *portText + "\"";
            return std::nullopt;
        }
        config.port = *port;
    }
    config.dataDirectory = lookup("TIDEMARK_DATA_DIR").value_or("");
    config.processMetricsEnabled = lookup("TIDEMARK_PROCESS_METRICS").value_or("") == "1";
    return config;
}

std::optional<ServerConfig> ServerConfig::fromProcessEnvironment(std::string& error) {
    return fromEnvironment(
        [](const std::string& name) -> std::optional<std::string> {
            const char* value = std::getenv(name.c_str());
            if (!value) return std::nullopt;
            return std::string(value);
        },
        error);
}
