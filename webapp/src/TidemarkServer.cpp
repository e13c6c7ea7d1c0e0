#include "TidemarkServer.h"

#include "PageAssets.h"

#include <nlohmann/json.hpp>

#include <cctype>

using nlohmann::json;

namespace {

constexpr const char* kJSON = "application/json; charset=utf-8";

void sendJSON(HttpResponse& response, int status, const json& body) {
    response.status = status;
    response.headers.push_back({"Cache-Control", "no-store"});
    response.contentType = kJSON;
    response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendError(HttpResponse& response, int status, const std::string& message) {
    response.headers.clear();
    sendJSON(response, status, json{{"error", message}});
}

void sendAsset(HttpResponse& response, const PageAsset& asset) {
    response.status = 200;
    response.contentType = asset.contentType;
    response.staticBody = asset.data;
    response.staticSize = asset.size;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

HttpServer::Limits limits() {
    HttpServer::Limits limits;
    limits.maxBodyBytes = TidemarkServer::maxBodyBytes;
    return limits;
}

}  // namespace

TidemarkServer::TidemarkServer(ServerConfig config, LogFunction log, QuotaService::Timing quotaTiming)
    : config_(std::move(config)),
      log_(std::move(log)),
      authenticator_(config_.token),
      history_(config_.dataDirectory, log_),
      quotas_(config_.dataDirectory, live_, log_, quotaTiming),
      http_(
          limits(), [this](const HttpRequest& request, HttpResponse& response) { return screen(request, response); },
          [this](const HttpRequest& request, HttpResponse& response) { dispatch(request, response); },
          [](HttpResponse& response, int status, const std::string& reason) { sendError(response, status, reason); }) {}

TidemarkServer::~TidemarkServer() { stop(); }

bool TidemarkServer::bind(std::string& error) { return http_.bind(config_.port, error); }

bool TidemarkServer::start(std::string& error) {
    if (!http_.start(error)) return false;
    quotas_.start();
    return true;
}

void TidemarkServer::stop() {
    quotas_.stop();
    http_.stop();
}

const std::vector<TidemarkServer::Route>& TidemarkServer::routes() {
    static const std::vector<Route> table = {
        {"GET", "/api/health", false, Access::open, false, &TidemarkServer::handleHealth},
        {"POST", "/api/metrics/ingest", false, Access::bearer, false, &TidemarkServer::handleMetricsIngest},
        {"POST", "/api/processes/ingest", false, Access::bearer, false, &TidemarkServer::handleProcessesIngest},
        // The token in the query is the credential; the route hands out the session cookie.
        {"GET", "/login", false, Access::open, true, &TidemarkServer::handleLogin},
        {"GET", "/api/state", false, Access::page, false, &TidemarkServer::handleState},
        {"GET", "/api/history", false, Access::page, false, &TidemarkServer::handleHistory},
        {"GET", "/api/quotas", false, Access::page, false, &TidemarkServer::handleQuotas},
        {"PUT", "/api/dock", false, Access::page, false, &TidemarkServer::handleDockUpdate},
        {"GET", "/assets/", true, Access::page, false, &TidemarkServer::handleAsset},
        {"GET", "/", false, Access::page, true, &TidemarkServer::handlePage},
    };
    return table;
}

const TidemarkServer::Route* TidemarkServer::route(const HttpRequest& request, bool& pathKnown) const {
    pathKnown = false;
    for (const Route& r : routes()) {
        const bool matches = r.prefix ? request.path.rfind(r.path, 0) == 0 : request.path == r.path;
        if (!matches) continue;
        pathKnown = true;
        if (request.method == r.method) return &r;
    }
    return nullptr;
}

bool TidemarkServer::screen(const HttpRequest& request, HttpResponse& response) const {
    if (!refusal(request, response)) return false;
    addCommonHeaders(response);
    return true;
}

bool TidemarkServer::refusal(const HttpRequest& request, HttpResponse& response) const {
    if (!RequestHeaders::hostAllowed(request.headers, port())) {
        sendError(response, 403, "host not allowed");
        return true;
    }
    bool pathKnown = false;
    const Route* r = route(request, pathKnown);
    if (!r) {
        sendError(response, pathKnown ? 405 : 404, pathKnown ? "method not allowed" : "not found");
        return true;
    }
    if (r->access == Access::bearer) {
        const auto authorization = RequestHeaders::values(request.headers, "Authorization");
        if (authorization.size() != 1 || !authenticator_.acceptsAuthorization(authorization.front())) {
            sendError(response, 401, "unauthorized");
            return true;
        }
    }
    if (r->access == Access::page || r->navigation) {
        if (!RequestHeaders::fromOwnOrigin(request.headers, request.method, r->navigation, port())) {
            sendError(response, 403, "cross-origin request refused");
            return true;
        }
    }
    if (r->access == Access::page && !authenticator_.acceptsPageCookies(RequestHeaders::values(request.headers, "Cookie"))) {
        if (r->navigation) {
            response.status = 401;
            response.headers = {{"Cache-Control", "no-store"}};
            response.contentType = "text/plain; charset=utf-8";
            response.body = "Unauthorized\n";
        } else {
            sendError(response, 401, "unauthorized");
        }
        return true;
    }
    return false;
}

void TidemarkServer::dispatch(const HttpRequest& request, HttpResponse& response) {
    bool pathKnown = false;
    const Route* r = route(request, pathKnown);
    if (!r) {
        sendError(response, 404, "not found");
        return;
    }
    (this->*(r->handler))(request, response);
    addCommonHeaders(response);
}

void TidemarkServer::addCommonHeaders(HttpResponse& response) {
    response.headers.push_back({"X-Content-Type-Options", "nosniff"});
    response.headers.push_back({"Referrer-Policy", "no-referrer"});
}

void TidemarkServer::handleHealth(const HttpRequest&, HttpResponse& response) {
    sendJSON(response, 200, json{{"ok", true}});
}

void TidemarkServer::handleMetricsIngest(const HttpRequest& request, HttpResponse& response) {
    std::string error;
    auto samples = IngestValidator::parseMetricsText(request.body, error);
    if (!samples) {
        sendError(response, 400, error);
        return;
    }
    for (const auto& sample : *samples) live_.recordSample(sample);
    history_.record(*samples);
    sendJSON(response, 200, json{{"ok", true}, {"accepted", samples->size()}});
}

void TidemarkServer::handleProcessesIngest(const HttpRequest& request, HttpResponse& response) {
    std::string error;
    auto snapshot = IngestValidator::parseProcessesText(request.body, error);
    if (!snapshot) {
        sendError(response, 400, error);
        return;
    }
    const size_t count = snapshot->processes.size();
    live_.recordProcesses(std::move(*snapshot));
    sendJSON(response, 200, json{{"ok", true}, {"accepted", count}});
}

void TidemarkServer::handleLogin(const HttpRequest& request, HttpResponse& response) {
    const auto token = RequestHeaders::queryValue(RequestHeaders::queryOf(request.target), "token");
    if (!token || !authenticator_.acceptsToken(*token) || authenticator_.sessionSecret().empty()) {
        sendError(response, 401, "unauthorized");
        return;
    }
    // The browser gets a secret of its own that opens the page and nothing else.
    response.status = 303;
    response.headers = {{"Cache-Control", "no-store"},
                        {"Set-Cookie", std::string(Authenticator::sessionCookieName) + "=" +
                                           authenticator_.sessionSecret() + "; HttpOnly; SameSite=Strict; Path=/"},
                        {"Location", "/?surface=panel"}};
}

void TidemarkServer::handlePage(const HttpRequest&, HttpResponse& response) {
    const PageAsset* page = PageAssets::find("/index.html");
    if (!page) {
        sendError(response, 500, "page missing from this build");
        return;
    }
    response.headers = {{"Cache-Control", "no-store"},
                        {"Content-Security-Policy",
                         "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                         "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'"}};
    sendAsset(response, *page);
}

void TidemarkServer::handleAsset(const HttpRequest& request, HttpResponse& response) {
    const PageAsset* asset = PageAssets::find(request.path);
    if (!asset) {
        sendError(response, 404, "not found");
        return;
    }
    response.headers = {{"Cache-Control", "no-cache"}};
    sendAsset(response, *asset);
}

void TidemarkServer::handleState(const HttpRequest&, HttpResponse& response) {
    json body{{"revision", live_.revision()},
              {"processMetrics", config_.processMetricsEnabled},
              {"persistentHistory", history_.isPersistent()},
              {"sample", nullptr},
              {"processes", nullptr}};
    if (auto sample = live_.latestSample()) body["sample"] = IngestValidator::toJSON(*sample);
    if (config_.processMetricsEnabled) {
        if (auto snapshot = live_.latestProcesses()) {
            json list = json::array();
            for (const auto& entry : snapshot->processes) list.push_back(IngestValidator::toJSON(entry));
            body["processes"] = json{{"sampledAt", snapshot->sampledAt}, {"list", std::move(list)}};
        }
    }
    sendJSON(response, 200, body);
}

void TidemarkServer::handleHistory(const HttpRequest& request, HttpResponse& response) {
    const std::string range =
        RequestHeaders::queryValue(RequestHeaders::queryOf(request.target), "range").value_or("");
    auto span = HistoryStore::parseRange(range);
    if (!span) {
        sendError(response, 400, "range must be 5m, 1h, 24h or 30d");
        return;
    }
    const HistorySeries series = history_.query(*span);
    json t = json::array(), cpu = json::array(), memory = json::array(), disk = json::array(), rx = json::array(),
         tx = json::array();
    for (const auto& p : series.points) {
        t.push_back(p.ts);
        cpu.push_back(p.cpu);
        memory.push_back(p.memoryPercent);
        disk.push_back(p.diskPercent);
        rx.push_back(p.rxBps);
        tx.push_back(p.txBps);
    }
    sendJSON(response, 200,
             json{{"range", range},
                  {"start", series.startMs},
                  {"end", series.endMs},
                  {"bucketMs", series.bucketMs},
                  {"t", std::move(t)},
                  {"cpu", std::move(cpu)},
                  {"memory", std::move(memory)},
                  {"disk", std::move(disk)},
                  {"rx", std::move(rx)},
                  {"tx", std::move(tx)}});
}

void TidemarkServer::handleQuotas(const HttpRequest&, HttpResponse& response) {
    json list = json::array();
    for (const auto& p : quotas_.providers()) {
        json item{{"id", p.id},         {"name", p.name},           {"color", p.color},
                  {"status", p.status}, {"displayValue", p.displayValue}, {"builtIn", p.builtIn}};
        item["percent"] = p.percent ? json(*p.percent) : json(nullptr);
        list.push_back(std::move(item));
    }
    const DockSettings settings = quotas_.dockSettings();
    sendJSON(response, 200,
             json{{"providers", std::move(list)},
                  {"dock", json{{"showInDock", settings.showInDock}, {"selection", settings.selection}}},
                  {"dockPayload", quotas_.dockPayload()}});
}

void TidemarkServer::handleDockUpdate(const HttpRequest& request, HttpResponse& response) {
    // A JSON content type cannot be sent across sites without a preflight, which we never allow.
    const auto types = RequestHeaders::values(request.headers, "Content-Type");
    if (types.size() != 1 || lowercase(std::string(types.front())).rfind("application/json", 0) != 0) {
        sendError(response, 415, "expected application/json");
        return;
    }
    std::string error;
    auto body = IngestValidator::parseBounded(request.body, error);
    if (!body) {
        sendError(response, 400, error);
        return;
    }
    if (!quotas_.updateDockSettings(*body, error)) {
        sendError(response, 400, error);
        return;
    }
    handleQuotas(request, response);
}
