#pragma once
// Acting as the user and as the page on the headless UI backend.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/ui/Menu.h"
#include "platform/ui/Popover.h"
#include "platform/ui/View.h"
#include "platform/ui/WebView.h"
#include "platform/ui/headless/HeadlessWebView.h"

namespace uitest {

enum class MouseButton { left, right };

// Press and release at a screen position; false when the view took no events.
bool click(platform::View& view, MouseButton button, platform::Point at = {});
// Only the press, or only the release.
bool press(platform::View& view, MouseButton button, platform::Point at = {});
bool release(platform::View& view, MouseButton button, platform::Point at = {});
// The user picks the enabled item of that title in the open menu.
bool chooseMenuItem(platform::Menu& menu, const std::string& title);
// Press at startY, one drag event per position, release at the last (screen y, up).
void drag(platform::View& view, double startY, const std::vector<double>& positions);
// A click somewhere else on the screen.
bool clickOutside(platform::Popover& popover);
// The headless backend's web view behind the interface (the unit tests run headless).
std::shared_ptr<platform::HeadlessWebView> headless(const std::shared_ptr<platform::WebView>& webView);
// Runs everything the main queue holds that is due now.
void runMainQueue();

// A page with the bridge object "window.__tidemark": it keeps the panel flag, records
// the bridge functions called and answers the bridge scripts true once the bridge is
// defined (after `bridgeReadyAfter` evaluations of bridge scripts).
class BridgePage : public platform::ScriptedPage {
public:
    Result evaluate(const std::string& script) override;

    int bridgeReadyAfter = 0;
    std::set<std::string> functions = {"onPanelOpen", "onPanelClose"};
    std::vector<std::string> scripts;
    std::vector<std::string> calls;
    std::map<std::string, int> attempts;  // bridge scripts evaluated per method
    std::optional<bool> panelOpenFlag;
    // Replaces the answer for every script when set.
    std::function<Result(const std::string&)> answer;
};

// The method a bridge script calls, if the script is one.
std::optional<std::string> bridgeMethod(const std::string& script);

}  // namespace uitest
