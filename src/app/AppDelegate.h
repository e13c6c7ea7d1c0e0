#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dock/DockQuotaIconController.h"
#include "menu/MenuBarController.h"
#include "metrics/NativeMetricsSampler.h"
#include "processes/NativeProcessSampler.h"
#include "panel/PanelWindowController.h"
#include "panel/TidemarkUpdateController.h"
#include "platform/Application.h"
#include "server/NodeServerManager.h"

// Owns every long-lived controller, wires them together and runs start-up and shutdown.
class AppDelegate : public platform::ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;

    // A later launch by the same user asked for the panel (main thread). Headless: returns
    // the browser login line for it to print; otherwise opens the panel and returns "".
    std::string openPanelForAnotherLaunch();

    // "TIDEMARK_TEST_AUTO_QUIT_AFTER": one whole C-locale number, no leading white space,
    // nothing after it. Absent when it does not parse.
    static std::optional<double> parseAutoQuitAfter(const std::string& value);

    // Makes the one server manager; tests supply one with shorter waits.
    std::function<std::shared_ptr<NodeServerManager>()> makeServerManager = [] {
        return std::make_shared<NodeServerManager>();
    };

    std::shared_ptr<NodeServerManager> serverManager;
    std::shared_ptr<NativeMetricsSampler> metricsSampler;
    std::shared_ptr<NativeProcessSampler> processSampler;
    std::shared_ptr<MenuBarController> menuBarController;
    std::shared_ptr<PanelWindowController> panelController;
    std::shared_ptr<TidemarkUpdateController> updateController;
    std::shared_ptr<DockQuotaIconController> dockQuotaIconController;

    // The Dock quota callback's work for one "dockQuota" message body.
    void handleDockQuotaMessage(const nlohmann::json& body);
    // The panel's onDockQuotaUpdate: holds the delegate weakly.
    std::function<void(const nlohmann::json& body)> dockQuotaCallback();

private:
    void scheduleAutoQuitIfRequested();
    void handleStartResult(const NodeServerManager::Result& result);
};
