#pragma once
// The HTTP side of TidemarkServer: routes, authentication, the Host and origin checks.
#include "Authenticator.h"
#include "HistoryStore.h"
#include "HttpServer.h"
#include "LiveState.h"
#include "QuotaService.h"
#include "ServerConfig.h"

#include <functional>
#include <string>
#include <vector>

class TidemarkServer {
public:
    static constexpr size_t maxBodyBytes = 1024 * 1024;
    using LogFunction = std::function<void(const std::string&)>;

    TidemarkServer(ServerConfig config, LogFunction log, QuotaService::Timing quotaTiming = {});
    ~TidemarkServer();

    // Binds 127.0.0.1 at the configured port (0 picks a free one).
    bool bind(std::string& error);
    int port() const { return http_.port(); }
    // Serves on the engine's thread and runs the quota commands until stop().
    bool start(std::string& error);
    // Closes every connection and ends a running quota command; does not wait on either.
    void stop();

private:
    // Who may call a route: anyone, the samplers (bearer token) or the page (cookie).
    enum class Access { open, bearer, page };
    using Handler = void (TidemarkServer::*)(const HttpRequest&, HttpResponse&);
    struct Route {
        const char* method;
        const char* path;
        bool prefix;  // path is a folder: everything below it
        Access access;
        bool navigation;  // a browser may open it as a page from a link
        Handler handler;
    };
    const Route* route(const HttpRequest& request, bool& pathKnown) const;
    bool screen(const HttpRequest& request, HttpResponse& response) const;
    // Answers a request that may not go further (wrong host, route or credentials).
    bool refusal(const HttpRequest& request, HttpResponse& response) const;
    static void addCommonHeaders(HttpResponse& response);
    void dispatch(const HttpRequest& request, HttpResponse& response);

    void handleHealth(const HttpRequest& request, HttpResponse& response);
    void handleMetricsIngest(const HttpRequest& request, HttpResponse& response);
    void handleProcessesIngest(const HttpRequest& request, HttpResponse& response);
    void handleLogin(const HttpRequest& request, HttpResponse& response);
    void handleState(const HttpRequest& request, HttpResponse& response);
    void handleHistory(const HttpRequest& request, HttpResponse& response);
    void handleQuotas(const HttpRequest& request, HttpResponse& response);
    void handleDockUpdate(const HttpRequest& request, HttpResponse& response);
    void handleAsset(const HttpRequest& request, HttpResponse& response);
    void handlePage(const HttpRequest& request, HttpResponse& response);

    static const std::vector<Route>& routes();

    ServerConfig config_;
    LogFunction log_;
    Authenticator authenticator_;
    LiveState live_;
    HistoryStore history_;
    QuotaService quotas_;
    HttpServer http_;
};
