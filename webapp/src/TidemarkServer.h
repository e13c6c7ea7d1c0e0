#pragma once
#include <optional>
// The HTTP side of TidemarkServer: routes, authentication, the Host check and limits.
#include "Authenticator.h"
#include "HistoryStore.h"
#include "LiveState.h"
#include "QuotaService.h"
#include "ServerConfig.h"

#include <httplib.h>

#include <functional>
#include <memory>
#include <string>

class TidemarkServer {
public:
    static constexpr size_t maxBodyBytes = 1024 * 1024;
    using LogFunction = std::function<void(const std::string&)>;

    TidemarkServer(ServerConfig config, LogFunction log, QuotaService::Timing quotaTiming = {});
    ~TidemarkServer();

    // Binds 127.0.0.1 at the configured port (0 picks a free one).
    bool bind(std::string& error);
    int port() const { return port_; }
    // Serves until stop(); returns false when serving failed.
    bool run();
    void stop();

private:
    void installRoutes();
    bool hostAllowed(const httplib::Request& request) const;
    bool hasPageCookie(const httplib::Request& request) const;
    // The JSON body of an ingest request with the bearer token; answers 401/400 itself.
    std::optional<nlohmann::json> ingestBody(const httplib::Request& request, httplib::Response& response) const;
    void handleMetricsIngest(const httplib::Request& request, httplib::Response& response);
    void handleProcessesIngest(const httplib::Request& request, httplib::Response& response);
    void handleLogin(const httplib::Request& request, httplib::Response& response);
    void handleState(const httplib::Request& request, httplib::Response& response);
    void handleHistory(const httplib::Request& request, httplib::Response& response);
    void handleQuotas(const httplib::Request& request, httplib::Response& response);
    void handleDockUpdate(const httplib::Request& request, httplib::Response& response);
    void handleAsset(const httplib::Request& request, httplib::Response& response);
    void handlePage(const httplib::Request& request, httplib::Response& response);

    ServerConfig config_;
    LogFunction log_;
    Authenticator authenticator_;
    LiveState live_;
    HistoryStore history_;
    QuotaService quotas_;
    httplib::Server http_;
    int port_ = 0;
};
