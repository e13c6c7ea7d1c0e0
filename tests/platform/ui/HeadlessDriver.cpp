#include "platform/ui/HeadlessDriver.h"

#include <regex>
#include <stdexcept>

#include "platform/RunLoop.h"

namespace uitest {

namespace {
platform::Event event(platform::EventType type, platform::Point at) { return platform::Event{type, at}; }
}  // namespace

bool press(platform::View& view, MouseButton button, platform::Point at) {
    return view.dispatchEvent(
        event(button == MouseButton::left ? platform::EventType::leftMouseDown : platform::EventType::rightMouseDown, at));
}

bool release(platform::View& view, MouseButton button, platform::Point at) {
    return view.dispatchEvent(
        event(button == MouseButton::left ? platform::EventType::leftMouseUp : platform::EventType::rightMouseUp, at));
}

bool click(platform::View& view, MouseButton button, platform::Point at) {
    const bool pressed = press(view, button, at);
    const bool released = release(view, button, at);
    return pressed && released;
}

bool chooseMenuItem(platform::Menu& menu, const std::string& title) {
    auto item = menu.itemWithTitle(title);
    return item && menu.chooseItem(item);
}

void drag(platform::View& view, double startY, const std::vector<double>& positions) {
    view.dispatchEvent(event(platform::EventType::leftMouseDown, {10, startY}));
    for (double y : positions) view.dispatchEvent(event(platform::EventType::leftMouseDragged, {10, y}));
    view.dispatchEvent(event(platform::EventType::leftMouseUp, {10, positions.empty() ? startY : positions.back()}));
}

bool clickOutside(platform::Popover& popover) { return popover.handleClickOutside(); }

std::shared_ptr<platform::HeadlessWebView> headless(const std::shared_ptr<platform::WebView>& webView) {
    auto view = std::dynamic_pointer_cast<platform::HeadlessWebView>(webView);
    if (!view) throw std::logic_error("not the headless backend's web view");
    return view;
}

void runMainQueue() { platform::RunLoop::main().runPending(); }

std::optional<std::string> bridgeMethod(const std::string& script) {
    static const std::regex pattern(R"(typeof bridge\.([A-Za-z_$][A-Za-z0-9_$]*) === 'function'\) \{\n      bridge\.\1\(\);)");
    std::smatch match;
    if (!std::regex_search(script, match, pattern)) return std::nullopt;
    return match[1].str();
}

platform::ScriptedPage::Result BridgePage::evaluate(const std::string& script) {
    scripts.push_back(script);
    if (answer) return answer(script);
    if (script == "window.__tidemarkPanelOpen = true;") {
        panelOpenFlag = true;
        return {nlohmann::json(true), std::nullopt};
    }
    if (script == "window.__tidemarkPanelOpen = false;") {
        panelOpenFlag = false;
        return {nlohmann::json(false), std::nullopt};
    }
    if (auto method = bridgeMethod(script)) {
        const int attempt = ++attempts[*method];
        if (attempt > bridgeReadyAfter && functions.count(*method)) {
            calls.push_back(*method);
            return {nlohmann::json(true), std::nullopt};
        }
        return {nlohmann::json(false), std::nullopt};
    }
    return {std::nullopt, platform::Error{"WKErrorDomain", 4, "A JavaScript exception occurred"}};
}

}  // namespace uitest
