#pragma once
// What TidemarkServer is told through its environment.
#include <functional>
#include <optional>
#include <string>

struct ServerConfig {
    std::string token;
    int port = 5230;
    std::string dataDirectory;  // empty: history stays in memory
    bool processMetricsEnabled = false;

    using Lookup = std::function<std::optional<std::string>(const std::string&)>;
    // Reads TIDEMARK_SERVER_TOKEN, PORT (TIDEMARK_PORT as fall-back), TIDEMARK_DATA_DIR and
    // TIDEMARK_PROCESS_METRICS. A port that is not a number in 1..65535 is an error.
    static std::optional<ServerConfig> fromEnvironment(const Lookup& lookup, std::string& error);
    static std::optional<ServerConfig> fromProcessEnvironment(std::string& error);
};
