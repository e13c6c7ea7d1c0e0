#include "app/AppDelegate.h"

#include <chrono>
#include <cmath>

#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Text.h"

void AppDelegate::applicationDidFinishLaunching() {
    serverManager = std::make_shared<NodeServerManager>();

    scheduleAutoQuitIfRequested();

    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    serverManager->start([weakSelf](NodeServerManager::Result result) {
        platform::DispatchQueue::main()->async([weakSelf, result = std::move(result)] {
            if (auto self = weakSelf.lock()) self->handleStartResult(result);
        });
    });
}

void AppDelegate::handleStartResult(const NodeServerManager::Result& result) {
    if (result) return;
}

void AppDelegate::applicationWillTerminate() {
    if (serverManager) serverManager->stop();
}

bool AppDelegate::applicationShouldHandleReopen(bool) { return true; }

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
