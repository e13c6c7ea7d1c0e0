#include "dock/DockQuotaIconController.h"

#include <algorithm>

#include "platform/Application.h"
#include "platform/RunLoop.h"
#include "platform/graphics/Image.h"

DockQuotaIconController::DockQuotaIconController(platform::UserDefaults& defaults)
    : defaults_(defaults), weakAnchor_(std::make_shared<DockQuotaIconController*>(this)) {
    auto& application = platform::Application::shared();
    if (auto icon = application.applicationIconImage()) defaultIcon_ = icon->copy();

    if (auto data = defaults_.dataForKey(stateKey)) {
        auto restored = DockQuotaState::decodeJSON(*data);
        if (restored && restored->enabled) {
            apply(std::move(*restored), false);
            return;
        }
    }
    // Read from the store we were given (the standard one in the application), so a
    // test's store never picks up the user's own setting.
    if (defaults_.boolForKey(enabledKey)) application.setActivationPolicy(platform::ActivationPolicy::regular);
}

DockQuotaIconController::~DockQuotaIconController() {
    weakAnchor_.reset();
    invalidateRotationTimer();
}

void DockQuotaIconController::invalidateRotationTimer() {
    if (rotationTimer_) rotationTimer_->invalidate();
    rotationTimer_.reset();
}

void DockQuotaIconController::apply(DockQuotaState next, bool persist) {
    if (next.enabled && next.providers.empty() && state_ && !state_->providers.empty())
        next.providers = state_->providers;

    std::optional<DockQuotaState> previous = std::move(state_);
    state_ = std::move(next);
    const DockQuotaState& s = *state_;

    invalidateRotationTimer();
    rotationIndex_ = 0;

    if (!previous || previous->enabled != s.enabled || previous->selection != s.selection) {
        manualProviderID_.reset();
    } else if (manualProviderID_) {
        bool present = std::any_of(s.providers.begin(), s.providers.end(),
                                   [&](const DockQuotaProvider& p) { return p.id == *manualProviderID_; });
        if (!present) manualProviderID_.reset();
    }

    if (persist) {
        defaults_.setBool(s.enabled, enabledKey);
        if (s.enabled) {
            if (auto json = s.encodedJSON())
                defaults_.setData(*json, stateKey);
            else
                defaults_.removeObject(stateKey);
        } else {
            defaults_.removeObject(stateKey);
        }
    }

    auto& application = platform::Application::shared();
    if (s.enabled) {
        application.setActivationPolicy(platform::ActivationPolicy::regular);
        renderCurrentProvider();
        startRotationIfNeeded();
    } else {
        showIcon(defaultIcon_);
        application.setActivationPolicy(platform::ActivationPolicy::accessory);
    }
}

std::optional<DockQuotaProvider> DockQuotaIconController::currentProvider() const {
    if (!state_) return std::nullopt;
    const auto& providers = state_->providers;
    if (manualProviderID_) {
        for (const auto& p : providers)
            if (p.id == *manualProviderID_) return p;
    }
    if (state_->selection == "auto") {
        if (providers.empty()) return std::nullopt;
        auto count = static_cast<int64_t>(providers.size());
        // A non-negative position even if the index ever went negative.
        int64_t position = ((rotationIndex_ % count) + count) % count;
        return providers[static_cast<size_t>(position)];
    }
    for (const auto& p : providers)
        if (p.id == state_->selection) return p;
    return std::nullopt;
}

void DockQuotaIconController::showIcon(std::shared_ptr<platform::Image> image) {
    auto& application = platform::Application::shared();
    application.setApplicationIconImage(std::move(image));
    application.dockTile().display();
}

void DockQuotaIconController::renderCurrentProvider() {
    auto provider = currentProvider();
    if (!provider) {
        showIcon(defaultIcon_);
        return;
    }
    auto image = renderIcon(*provider);
    image->setTemplate(false);
    showIcon(std::move(image));
}

void DockQuotaIconController::startRotationIfNeeded() {
    if (!state_ || state_->selection != "auto" || state_->providers.size() < 2) return;
    std::weak_ptr<DockQuotaIconController*> weakSelf = weakAnchor_;
    rotationTimer_ = platform::RunLoop::main().scheduleTimer(rotationInterval, true, [weakSelf](platform::Timer&) {
        auto anchor = weakSelf.lock();
        if (!anchor) return;
        DockQuotaIconController& self = **anchor;
        if (!self.state_ || self.state_->providers.empty()) return;
        auto count = static_cast<int64_t>(self.state_->providers.size());
        self.rotationIndex_ = (self.rotationIndex_ + 1) % count;
        self.renderCurrentProvider();
    });
}

bool DockQuotaIconController::advanceToNextProvider() {
    if (!state_ || !state_->enabled || state_->providers.size() < 2) return false;
    const auto& providers = state_->providers;
    int64_t position = -1;
    if (auto shown = currentProvider()) {
        for (size_t i = 0; i < providers.size(); ++i)
            if (providers[i].id == shown->id) {
                position = static_cast<int64_t>(i);
                break;
            }
    }
    auto count = static_cast<int64_t>(providers.size());
    int64_t next = (position + 1) % count;
    if (state_->selection == "auto") {
        rotationIndex_ = next;
        manualProviderID_.reset();
    } else {
        manualProviderID_ = providers[static_cast<size_t>(next)].id;
    }
    renderCurrentProvider();
    return true;
}
