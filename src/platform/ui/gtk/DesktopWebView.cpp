#include "platform/ui/gtk/DesktopWebView.h"

#include "platform/ui/BrowserLogin.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopWebsiteDataStore.h"

namespace platform::ui {

namespace {

// WebKit delivers a script message without its frame: only the top frame may post.
constexpr const char* topFrameOnlyScript = R"JS((function () {
  if (window.top === window) return;
  var handlers = window.webkit && window.webkit.messageHandlers;
  if (!handlers) return;
  var names = %NAMES%;
  names.forEach(function (name) {
    var handler = handlers[name];
    if (!handler) return;
    var refuse = function () { throw new Error(name + ' is only available in the top frame'); };
    try { Object.defineProperty(handler, 'postMessage', { value: refuse }); } catch (e) {}
    try { Object.defineProperty(Object.getPrototypeOf(handler), 'postMessage', { value: refuse }); } catch (e) {}
  });
})();)JS";

NavigationType navigationType(WebKitNavigationType type) {
    switch (type) {
        case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED: return NavigationType::linkActivated;
        case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED: return NavigationType::formSubmitted;
        case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD: return NavigationType::backForward;
        case WEBKIT_NAVIGATION_TYPE_RELOAD: return NavigationType::reload;
        case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED: return NavigationType::formResubmitted;
        default: return NavigationType::other;
    }
}

std::optional<nlohmann::json> jsonValue(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value)) return std::nullopt;
    gchar* text = jsc_value_to_json(value, 0);
    if (!text) return std::nullopt;
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    g_free(text);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

}  // namespace

DesktopWebView::DesktopWebView(Rect frame, WebViewConfiguration configuration, DesktopBackend& backend)
    : WebView(frame, std::move(configuration)), backend_(backend) {
    auto store = std::dynamic_pointer_cast<DesktopWebsiteDataStore>(configuration_.websiteDataStore);
    if (!store) {
        store = std::make_shared<DesktopWebsiteDataStore>();
        configuration_.websiteDataStore = store;
    }
    contentManager_ = webkit_user_content_manager_new();
    std::string names = "[";
    for (const auto& name : configuration_.userContentController->names()) {
        webkit_user_content_manager_register_script_message_handler(contentManager_, name.c_str());
        const std::string signal = "script-message-received::" + name;
        messageLinks_.push_back(std::make_unique<MessageLink>(MessageLink{this, name}));
        g_signal_connect(contentManager_, signal.c_str(), G_CALLBACK(&DesktopWebView::onScriptMessage),
                         messageLinks_.back().get());
        names += (names.size() > 1 ? ",\"" : "\"") + name + "\"";
    }
    names += "]";
    std::string guard = topFrameOnlyScript;
    guard.replace(guard.find("%NAMES%"), 7, names);
    WebKitUserScript* script = webkit_user_script_new(guard.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_, script);
    webkit_user_script_unref(script);

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
    // A small page in a small window: software painting saves the compositor's ~80 MB
    // in the web process (docs/performance.md).
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", store->context(), "user-content-manager",
                                         contentManager_, "settings", settings, nullptr));
    g_object_unref(settings);
    g_object_ref_sink(view_);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(&DesktopWebView::onDecidePolicy), this);
    setDrawsBackground(drawsBackground());
}

DesktopWebView::~DesktopWebView() {
    alive_.reset();
    for (const auto& link : messageLinks_) g_signal_handlers_disconnect_by_data(contentManager_, link.get());
    g_signal_handlers_disconnect_by_data(view_, this);
    GtkWidget* widget = GTK_WIDGET(view_);
    if (GtkWidget* parent = gtk_widget_get_parent(widget)) gtk_container_remove(GTK_CONTAINER(parent), widget);
    g_object_unref(view_);
    g_object_unref(contentManager_);
}

void DesktopWebView::setAllowsMagnification(bool allows) {
    WebView::setAllowsMagnification(allows);
    if (!allows) webkit_web_view_set_zoom_level(view_, 1.0);
}

void DesktopWebView::setDrawsBackground(bool draws) {
    WebView::setDrawsBackground(draws);
    const GdkRGBA color = draws ? GdkRGBA{1, 1, 1, 1} : GdkRGBA{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &color);
}

void DesktopWebView::loadHTMLString(std::string html, std::optional<URL> baseURL) {
    webkit_web_view_load_html(view_, html.c_str(), baseURL ? baseURL->absoluteString().c_str() : nullptr);
}

void DesktopWebView::load(URLRequest request) {
    if (auto url = URL::parse(request.url)) {
        if (auto line = BrowserLogin::line(*url, configuration_.websiteDataStore->httpCookieStore()))
            backend_.noteBrowserLoginLine(*line);
    }
    // WebKit asks decide-policy for this navigation too, so the delegate sees it there.
    WebKitURIRequest* uriRequest = webkit_uri_request_new(request.url.c_str());
    webkit_web_view_load_request(view_, uriRequest);
    g_object_unref(uriRequest);
}

void DesktopWebView::evaluateJavaScript(const std::string& script, EvaluationCompletion completion) {
    struct Pending {
        EvaluationCompletion completion;
    };
    auto* pending = new Pending{std::move(completion)};
    webkit_web_view_evaluate_javascript(
        view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (!pending->completion) {
                if (value) g_object_unref(value);
                if (error) g_error_free(error);
                return;
            }
            if (error) {
                Error failure{"WKErrorDomain", 4, error->message};
                g_error_free(error);
                pending->completion(std::nullopt, failure);
                return;
            }
            auto json = jsonValue(value);
            if (value) g_object_unref(value);
            pending->completion(json, std::nullopt);
        },
        pending);
}

std::optional<URL> DesktopWebView::url() const {
    const gchar* uri = webkit_web_view_get_uri(view_);
    if (!uri) return std::nullopt;
    return URL::parse(uri);
}

bool DesktopWebView::isLoading() const { return webkit_web_view_is_loading(view_); }

void DesktopWebView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* link = static_cast<MessageLink*>(data);
    auto* self = link->view;
    ScriptMessage message;
    message.name = link->name;
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    auto body = jsonValue(value);
    message.body = body.value_or(nlohmann::json());
    message.frameInfo.isMainFrame = true;
    if (const gchar* uri = webkit_web_view_get_uri(self->view_)) message.frameInfo.request.url = uri;
    self->configuration_.userContentController->didReceive(message);
}

gboolean DesktopWebView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                        gpointer data) {
    auto* self = static_cast<DesktopWebView*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    self->decide(decision, type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION);
    return TRUE;
}

void DesktopWebView::decide(WebKitPolicyDecision* decision, bool newWindow) {
    WebKitNavigationAction* webAction =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    NavigationAction action;
    // A new window is only ever opened by following a link.
    action.navigationType =
        newWindow ? NavigationType::linkActivated : navigationType(webkit_navigation_action_get_navigation_type(webAction));
    WebKitURIRequest* request = webkit_navigation_action_get_request(webAction);
    action.request.url = webkit_uri_request_get_uri(request);
    g_object_ref(decision);
    auto handler = [decision, newWindow, url = action.request.url, alive = std::weak_ptr<bool>(alive_),
                    view = view_](NavigationActionPolicy policy) {
        const bool allow = policy == NavigationActionPolicy::allow;
        if (newWindow) {
            webkit_policy_decision_ignore(decision);
            // No second window: an allowed link opens here.
            if (allow && !alive.expired()) webkit_web_view_load_uri(view, url.c_str());
        } else if (allow) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        g_object_unref(decision);
    };
    auto delegate = navigationDelegate();
    if (!delegate) {
        handler(NavigationActionPolicy::allow);
        return;
    }
    auto once = std::make_shared<bool>(false);
    delegate->webView(*this, action, [handler, once](NavigationActionPolicy policy) {
        if (*once) return;
        *once = true;
        handler(policy);
    });
}

}  // namespace platform::ui
