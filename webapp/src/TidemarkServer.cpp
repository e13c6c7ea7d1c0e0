#include "TidemarkServer.h"

#include "PageAssets.h"

#include <nlohmann/json.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>

using nlohmann::json;

namespace {

// With a charset the library leaves JSON uncompressed: on loopback compression only costs time.
constexpr const char* kJSON = "application/json; charset=utf-8";

// A sized content provider is sent as it is, never compressed (brotli of the chart library
// alone takes a quarter of a second here).
void sendAsset(httplib::Response& response, const PageAsset& asset) {
    const PageAsset* a = &asset;
    response.set_content_provider(asset.size, asset.contentType,
                                  [a](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (offset >= a->size) return false;
                                      const size_t n = std::min(length, a->size - offset);
                                      sink.write(reinterpret_cast<const char*>(a->data) + offset, n);
                                      return true;
                                  });
}

void sendJSON(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), kJSON);
}

void sendError(httplib::Response& response, int status, const std::string& message) {
    sendJSON(response, status, json{{"error", message}});
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TidemarkServer::TidemarkServer(ServerConfig config, LogFunction log, QuotaService::Timing quotaTiming)
    : config_(std::move(config)),
      log_(std::move(log)),
      authenticator_(config_.token),
      history_(config_.dataDirectory, log_),
      quotas_(config_.dataDirectory, live_, log_, quotaTiming) {
    http_.set_payload_max_length(maxBodyBytes);
    // The library's default adds SO_REUSEPORT, which would let a second server share a port
    // that is taken instead of failing to bind.
    http_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Each open keep-alive connection holds a worker; the browser alone opens six.
    http_.new_task_queue = [] { return new httplib::ThreadPool(24); };
    // Short keep-alive so a stop is not held up by an idle connection.
    http_.set_keep_alive_timeout(1);
    http_.set_read_timeout(5);
    installRoutes();
}

TidemarkServer::~TidemarkServer() { stop(); }

bool TidemarkServer::bind(std::string& error) {
    if (config_.port == 0) {
        port_ = http_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            error = "could not bind 127.0.0.1 on any port";
            return false;
        }
        return true;
    }
    if (!http_.bind_to_port("127.0.0.1", config_.port)) {
        error = "could not bind 127.0.0.1:" + std::to_string(config_.port) + " (address in use or not permitted)";
        return false;
    }
    port_ = config_.port;
    return true;
}

bool TidemarkServer::run() {
    quotas_.start();
    const bool served = http_.listen_after_bind();
    quotas_.stop();
    return served;
}

void TidemarkServer::stop() {
    http_.stop();
}

bool TidemarkServer::hostAllowed(const httplib::Request& request) const {
    if (!request.has_header("Host")) return false;
    const std::string host = lowercase(request.get_header_value("Host"));
    const std::string port = std::to_string(port_);
    if (host == "127.0.0.1:" + port || host == "localhost:" + port) return true;
    return port_ == 80 && (host == "127.0.0.1" || host == "localhost");
}

bool TidemarkServer::hasPageCookie(const httplib::Request& request) const {
    // Several Cookie headers may arrive; any one holding the token will do.
    const size_t count = request.get_header_value_count("Cookie");
    for (size_t i = 0; i < count; ++i) {
        if (authenticator_.acceptsCookieHeader(request.get_header_value("Cookie", i))) return true;
    }
    return false;
}

void TidemarkServer::installRoutes() {
    http_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (!hostAllowed(request)) {
            // The body, if any, is left unread: close so it is never taken for a request.
            response.set_header("Connection", "close");
            sendError(response, 403, "host not allowed");
            return httplib::Server::HandlerResponse::Handled;
        }
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return;
        if (response.status == 413) {
            sendError(response, 413, "body larger than 1 MiB");
        } else if (response.status == 404) {
            sendError(response, 404, "not found");
        } else {
            sendError(response, response.status, "request failed");
        }
    });
    http_.set_exception_handler([this](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
            if (error) std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        log_("Request failed: " + what);
        sendError(response, 500, "internal error");
    });

    http_.Get("/api/health", [](const httplib::Request&, httplib::Response& response) {
        sendJSON(response, 200, json{{"ok", true}});
    });
    using Handler = void (TidemarkServer::*)(const httplib::Request&, httplib::Response&);
    const auto bind = [this](Handler handler) {
        return [this, handler](const httplib::Request& request, httplib::Response& response) {
            (this->*handler)(request, response);
        };
    };
    http_.Post("/api/metrics/ingest", bind(&TidemarkServer::handleMetricsIngest));
    http_.Post("/api/processes/ingest", bind(&TidemarkServer::handleProcessesIngest));
    http_.Get("/login", bind(&TidemarkServer::handleLogin));
    http_.Get("/api/state", bind(&TidemarkServer::handleState));
    http_.Get("/api/history", bind(&TidemarkServer::handleHistory));
    http_.Get("/api/quotas", bind(&TidemarkServer::handleQuotas));
    http_.Put("/api/dock", bind(&TidemarkServer::handleDockUpdate));
    http_.Get("/assets/.*", bind(&TidemarkServer::handleAsset));
    http_.Get("/", bind(&TidemarkServer::handlePage));
}

std::optional<json> TidemarkServer::ingestBody(const httplib::Request& request, httplib::Response& response) const {
    if (!authenticator_.acceptsAuthorization(request.get_header_value("Authorization"))) {
        sendError(response, 401, "unauthorized");
        return std::nullopt;
    }
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        sendError(response, 400, "malformed JSON");
        return std::nullopt;
    }
    return body;
}

void TidemarkServer::handleMetricsIngest(const httplib::Request& request, httplib::Response& response) {
    const auto body = ingestBody(request, response);
    if (!body) return;
    std::string error;
    auto samples = IngestValidator::parseMetricsBody(*body, error);
    if (!samples) {
        sendError(response, 400, error);
        return;
    }
    for (const auto& sample : *samples) {
        live_.recordSample(sample);
        history_.record(sample);
    }
    sendJSON(response, 200, json{{"ok", true}, {"accepted", samples->size()}});
}

void TidemarkServer::handleProcessesIngest(const httplib::Request& request, httplib::Response& response) {
    const auto body = ingestBody(request, response);
    if (!body) return;
    std::string error;
    auto snapshot = IngestValidator::parseProcessesBody(*body, error);
    if (!snapshot) {
        sendError(response, 400, error);
        return;
    }
    const size_t count = snapshot->processes.size();
    live_.recordProcesses(std::move(*snapshot));
    sendJSON(response, 200, json{{"ok", true}, {"accepted", count}});
}

void TidemarkServer::handleLogin(const httplib::Request& request, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    if (!authenticator_.acceptsToken(request.get_param_value("token"))) {
        sendError(response, 401, "unauthorized");
        return;
    }
    response.set_header("Set-Cookie", std::string(Authenticator::cookieName) + "=" + config_.token +
                                          "; HttpOnly; SameSite=Strict; Path=/");
    response.set_redirect("/?surface=panel", 303);
}

void TidemarkServer::handlePage(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        response.status = 401;
        response.set_header("Cache-Control", "no-store");
        response.set_content("Unauthorized\n", "text/plain; charset=utf-8");
        return;
    }
    const PageAsset* page = PageAssets::find("/index.html");
    if (!page) {
        sendError(response, 500, "page missing from this build");
        return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                        "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'");
    sendAsset(response, *page);
}

void TidemarkServer::handleAsset(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        sendError(response, 401, "unauthorized");
        return;
    }
    const PageAsset* asset = PageAssets::find(request.path);
    if (!asset) {
        sendError(response, 404, "not found");
        return;
    }
    response.set_header("Cache-Control", "no-cache");
    sendAsset(response, *asset);
}

void TidemarkServer::handleState(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        sendError(response, 401, "unauthorized");
        return;
    }
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

void TidemarkServer::handleHistory(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        sendError(response, 401, "unauthorized");
        return;
    }
    auto span = HistoryStore::parseRange(request.get_param_value("range"));
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
             json{{"range", request.get_param_value("range")},
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

void TidemarkServer::handleQuotas(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        sendError(response, 401, "unauthorized");
        return;
    }
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

void TidemarkServer::handleDockUpdate(const httplib::Request& request, httplib::Response& response) {
    if (!hasPageCookie(request)) {
        sendError(response, 401, "unauthorized");
        return;
    }
    // A JSON content type cannot be sent across sites without a preflight, which we never allow.
    const std::string type = lowercase(request.get_header_value("Content-Type"));
    if (type.rfind("application/json", 0) != 0) {
        sendError(response, 415, "expected application/json");
        return;
    }
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        sendError(response, 400, "malformed JSON");
        return;
    }
    std::string error;
    if (!quotas_.updateDockSettings(body, error)) {
        sendError(response, 400, error);
        return;
    }
    handleQuotas(request, response);
}
