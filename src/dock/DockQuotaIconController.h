#pragma once
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "dock/DockQuotaProvider.h"
#include "dock/DockQuotaState.h"
#include "platform/Dispatch.h"
#include "platform/UserDefaults.h"
#include "platform/graphics/Color.h"

namespace platform {
class Image;
class Timer;
}  // namespace platform

// The dynamic Dock icon: validates and applies the page's quota state, persists it,
// switches the Dock icon on and off, draws the shown provider and rotates through them.
// Main thread only.
class DockQuotaIconController {
public:
    static constexpr const char* enabledKey = "Tidemark.dynamicDockIconEnabled";
    static constexpr const char* stateKey = "Tidemark.dynamicDockIconState";
    static constexpr platform::Duration rotationInterval = std::chrono::seconds(8);

    // Restores the persisted state.
    explicit DockQuotaIconController(platform::UserDefaults& defaults);
    ~DockQuotaIconController();
    DockQuotaIconController(const DockQuotaIconController&) = delete;
    DockQuotaIconController& operator=(const DockQuotaIconController&) = delete;

    // The "dockQuota" message body; nullopt when invalid.
    static std::optional<DockQuotaState> parseState(const nlohmann::json& value);
    static std::optional<DockQuotaProvider> parseProvider(const nlohmann::json& object);
    static std::optional<bool> boolValue(const nlohmann::json* value);

    void apply(DockQuotaState state, bool persist);

    std::optional<DockQuotaProvider> currentProvider() const;
    void renderCurrentProvider();
    void startRotationIfNeeded();
    // A click on the Dock icon: true if the shown provider changed.
    bool advanceToNextProvider();

    // A 512 x 512 point image drawing the provider.
    static std::shared_ptr<platform::Image> renderIcon(const DockQuotaProvider& provider);
    static platform::Color color(const std::string& from);

    const std::optional<DockQuotaState>& state() const { return state_; }
    int64_t rotationIndex() const { return rotationIndex_; }
    const std::optional<std::string>& manualProviderID() const { return manualProviderID_; }
    bool isRotating() const { return rotationTimer_ != nullptr; }
    const std::shared_ptr<platform::Image>& defaultIcon() const { return defaultIcon_; }

private:
    void invalidateRotationTimer();
    void showIcon(std::shared_ptr<platform::Image> image);

    platform::UserDefaults& defaults_;
    std::shared_ptr<platform::Image> defaultIcon_;
    std::optional<DockQuotaState> state_;
    int64_t rotationIndex_ = 0;
    std::shared_ptr<platform::Timer> rotationTimer_;
    std::optional<std::string> manualProviderID_;
    // What the timer holds weakly; gone with the controller.
    std::shared_ptr<DockQuotaIconController*> weakAnchor_;
};
