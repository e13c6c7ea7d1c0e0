#include "app/AppDelegate.h"

#include <chrono>
#include <cmath>

#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"

void AppDelegate::applicationDidFinishLaunching() {
    serverManager = makeServerManager();
    metricsSampler = std::make_shared<NativeMetricsSampler>(serverManager);
    processSampler = std::make_shared<NativeProcessSampler>(serverManager);
    menuBarController = std::make_shared<MenuBarController>();
    updateController = std::make_shared<TidemarkUpdateController>();
    // After the update controller, before the panel, whose Dock quota callback uses it.
    dockQuotaIconController = std::make_shared<DockQuotaIconController>(platform::UserDefaults::standard());
    panelController = std::make_shared<PanelWindowController>(serverManager, updateController, dockQuotaCallback());

    std::weak_ptr<AppDelegate> weakDelegate = weak_from_this();
    menuBarController->onTogglePanel = [weakDelegate] {
        auto self = weakDelegate.lock();
        if (!self) return;
        self->panelController->toggle(self->menuBarController->statusItem->button());
    };
    menuBarController->onQuit = [] { platform::Application::shared().terminate(); };

    scheduleAutoQuitIfRequested();

    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    serverManager->start([weakSelf](NodeServerManager::Result result) {
        platform::DispatchQueue::main()->async([weakSelf, result = std::move(result)] {
            if (auto self = weakSelf.lock()) self->handleStartResult(result);
        });
    });
}

void AppDelegate::handleStartResult(const NodeServerManager::Result& result) {
    if (result) {
        // Nothing else starts; the panel shows the error, now if it was opened before.
        panelController->webController->showError(*result);
        if (auto anchor = panelController->anchorButton.lock()) panelController->showPopover(anchor);
        return;
    }
    metricsSampler->start();
    processSampler->start();
    auto& web = *panelController->webController;
    web.isServerReady = true;
    web.loadRouteIfNeeded(false);
    web.view()->layoutSubtreeIfNeeded();
    if (platform::environmentEquals("TIDEMARK_TEST_SHOW_PANEL", "1"))
        panelController->toggle(menuBarController->statusItem->button());
}

void AppDelegate::applicationWillTerminate() {
    if (metricsSampler) metricsSampler->stop();
    if (processSampler) processSampler->stop();
    if (serverManager) serverManager->stop();
    // An update downloaded during this run replaces the installation now.
    if (updateController && updateController->updaterController) updateController->updaterController->installStagedUpdateIfAny();
}

// A Dock click that moved the icon on needs no default handling.
bool AppDelegate::applicationShouldHandleReopen(bool) {
    return !(dockQuotaIconController && dockQuotaIconController->advanceToNextProvider());
}

std::string AppDelegate::openPanelForAnotherLaunch() {
    if (!panelController) return {};
    if (const auto& line = panelController->webController->webView()->browserLoginLine()) return *line;
    if (!panelController->popover->isShown()) panelController->toggle(menuBarController->statusItem->button());
    return {};
}

std::function<void(const nlohmann::json&)> AppDelegate::dockQuotaCallback() {
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    return [weakSelf](const nlohmann::json& body) {
        if (auto self = weakSelf.lock()) self->handleDockQuotaMessage(body);
    };
}

void AppDelegate::handleDockQuotaMessage(const nlohmann::json& body) {
    if (auto state = DockQuotaIconController::parseState(body)) {
        if (dockQuotaIconController) dockQuotaIconController->apply(std::move(*state), true);
    } else {
        platform::log("[Tidemark] Ignored invalid Dock quota payload");
    }
}

std::optional<double> AppDelegate::parseAutoQuitAfter(const std::string& value) {
    if (value.empty() || platform::isWhiteSpaceByte(value[0])) return std::nullopt;
    return platform::parseCLocaleDouble(value);
}

void AppDelegate::scheduleAutoQuitIfRequested() {
    if (!platform::environmentEquals("TIDEMARK_TESTING", "1")) return;
    const auto seconds = parseAutoQuitAfter(platform::environmentValue("TIDEMARK_TEST_AUTO_QUIT_AFTER").value_or(""));
    if (!seconds || !(*seconds > 0)) return;
    // "inf" and values past any clock's range mean "never".
    if (!std::isfinite(*seconds) || *seconds > 1e9) return;
    const auto delay = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(*seconds));
    platform::DispatchQueue::main()->asyncAfter(delay, [] { platform::Application::shared().terminate(); });
}
