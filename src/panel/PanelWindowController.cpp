#include "panel/PanelWindowController.h"

#include <algorithm>
#include <cctype>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"
#include "platform/ui/Screen.h"

PanelWindowController::PanelWindowController(std::shared_ptr<NodeServerManager> serverManager,
                                             std::shared_ptr<TidemarkUpdateController> updateController,
                                             WebViewController::DockQuotaCallback onDockQuotaUpdate,
                                             PanelEnvironment environment)
    : webController(std::make_shared<WebViewController>(std::move(serverManager), "?surface=panel",
                                                        std::move(onDockQuotaUpdate))),
      updateController(std::move(updateController)),
      contentController(std::make_shared<platform::ViewController>()),
      resizeHandle(std::make_shared<ResizeHandleView>()),
      popover(platform::Popover::make()),
      defaults_(environment.defaults ? *environment.defaults : platform::UserDefaults::standard()),
      executableDirectory_(std::move(environment.executableDirectory)),
      lifetime_(std::make_shared<PanelWindowController*>(this)) {
    currentHeight = initialHeight(defaults_.doubleForKey(heightKey));
    setupContent();

    std::weak_ptr<PanelWindowController*> weak = lifetime_;
    if (hasBundledServer() && this->updateController) {
        this->updateController->onReadyToInstall = [weak](const std::string& version) {
            if (auto self = weak.lock()) (*self)->showUpdateBanner(version);
        };
    }

    popover->setAnimates(false);
    popover->setBehavior(shouldKeepPopoverOpen() ? platform::PopoverBehavior::applicationDefined
                                                 : platform::PopoverBehavior::transient);
    popover->setDelegate(std::shared_ptr<platform::PopoverDelegate>(lifetime_, this));
    popover->setContentSize({panelWidth, currentHeight});
    popover->setContentViewController(contentController);
    popover->setAppearance(platform::Appearance::darkAqua);
}

PanelWindowController::~PanelWindowController() {
    lifetime_.reset();
    if (updateBannerButton_) updateBannerButton_->setAction(nullptr);
}

double PanelWindowController::initialHeight(double stored) {
    if (stored > 0) return std::max(stored, 300.0);
    return defaultHeight;
}

bool PanelWindowController::shouldKeepPopoverOpen() {
    auto value = platform::environmentValue("TIDEMARK_KEEP_POPOVER_OPEN");
    if (!value) return false;
    std::string lower = *value;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "1" || lower == "true" || lower == "yes";
}

bool PanelWindowController::hasBundledServer(const std::string& executableDirectory) {
    if (executableDirectory.empty()) return false;
    return platform::FileManager::defaultManager().isExecutableFile(executableDirectory + "/TidemarkServer");
}

bool PanelWindowController::hasBundledServer() const {
    if (executableDirectory_) return hasBundledServer(*executableDirectory_);
    if (platform::Bundle::main().executablePath().empty()) return false;
    return hasBundledServer(platform::Bundle::main().executableDirectory());
}

std::shared_ptr<platform::Button> PanelWindowController::updateBannerButton() {
    if (updateBannerButton_) return updateBannerButton_;
    auto button = std::make_shared<platform::Button>();
    button->setTitle("");
    std::weak_ptr<PanelWindowController*> weak = lifetime_;
    button->setAction([weak] {
        if (auto self = weak.lock()) (*self)->installUpdate();
    });
    button->setBordered(false);
    button->setFont(platform::Font::systemFont(13, platform::Font::Weight::semibold));
    button->setContentTintColor(platform::Color::calibratedRGB(0.05, 0.16, 0.12, 1));
    button->setWantsLayer(true);
    if (auto layer = button->layer()) layer->backgroundColor = platform::Color::calibratedRGB(0.39, 0.85, 0.62, 1);
    button->setHidden(true);
    updateBannerButton_ = button;
    return button;
}

void PanelWindowController::setupContent() {
    contentController->addChildViewController(webController);
    auto content = contentController->view();
    content->setWantsLayer(true);

    auto web = webController->view();
    auto banner = updateBannerButton();
    web->setTranslatesAutoresizingMaskIntoConstraints(false);
    banner->setTranslatesAutoresizingMaskIntoConstraints(false);
    resizeHandle->setTranslatesAutoresizingMaskIntoConstraints(false);

    content->addSubview(web);
    content->addSubview(banner);
    content->addSubview(resizeHandle);

    webViewTopConstraint = web->topAnchor().constraintEqualTo(content->topAnchor(), 0);
    platform::LayoutConstraint::activate({
        webViewTopConstraint,
        web->leadingAnchor().constraintEqualTo(content->leadingAnchor()),
        web->trailingAnchor().constraintEqualTo(content->trailingAnchor()),
        web->bottomAnchor().constraintEqualTo(content->bottomAnchor()),
        banner->topAnchor().constraintEqualTo(content->topAnchor()),
        banner->leadingAnchor().constraintEqualTo(content->leadingAnchor()),
        banner->trailingAnchor().constraintEqualTo(content->trailingAnchor()),
        banner->heightAnchor().constraintEqualToConstant(bannerHeight),
        resizeHandle->leadingAnchor().constraintEqualTo(content->leadingAnchor()),
        resizeHandle->trailingAnchor().constraintEqualTo(content->trailingAnchor()),
        resizeHandle->bottomAnchor().constraintEqualTo(content->bottomAnchor()),
        resizeHandle->heightAnchor().constraintEqualToConstant(resizeStripHeight),
    });

    std::weak_ptr<PanelWindowController*> weak = lifetime_;
    resizeHandle->onDrag = [weak](double delta) {
        if (auto self = weak.lock()) (*self)->handleDrag(delta);
    };
}

void PanelWindowController::handleDrag(double delta) {
    const auto screen = platform::Screen::main();
    const double maximum = screen ? screen->visibleFrame.height() - screenMargin : fallbackMaximumHeight;
    // min after max: when the screen limit is below the minimum, the limit wins.
    currentHeight = std::min(std::max(currentHeight + delta, minHeight), maximum);
    defaults_.setDouble(currentHeight, heightKey);
    popover->setContentSize({panelWidth, currentHeight});
}

void PanelWindowController::toggle(std::shared_ptr<platform::StatusBarButton> button) {
    anchorButton = button;
    const bool shown = popover->isShown();
    platform::log(std::string("[Tidemark] Toggle popover requested visible=") + (shown ? "true" : "false"));
    if (shown) {
        popover->performClose();
        return;
    }
    if (!button) return;
    showPopover(button);
}

void PanelWindowController::showPopover(const std::shared_ptr<platform::StatusBarButton>& button) {
    auto web = webController->view();
    if (webController->isServerReady) webController->loadRouteIfNeeded(false);
    web->layoutSubtreeIfNeeded();
    popover->setContentSize({panelWidth, currentHeight});
    popover->show(button->bounds(), button, platform::RectEdge::minY);
    webController->webView()->evaluateJavaScript("window.__tidemarkPanelOpen = true;");
    webController->evaluateTidemarkBridge("onPanelOpen", openBridgeAttempts);
}

void PanelWindowController::popoverDidClose(platform::Popover&) {
    webController->view();
    webController->webView()->evaluateJavaScript("window.__tidemarkPanelOpen = false;");
    webController->evaluateTidemarkBridge("onPanelClose", closeBridgeAttempts);
}

void PanelWindowController::showUpdateBanner(const std::string& version) {
    if (!hasBundledServer()) return;
    auto banner = updateBannerButton();
    banner->setTitle("Tidemark " + version + " is ready \u2014 Restart to update");
    webViewTopConstraint->setConstant(bannerHeight);
    banner->setHidden(false);
    contentController->view()->layoutSubtreeIfNeeded();
}

void PanelWindowController::installUpdate() {
    if (!hasBundledServer()) return;
    auto banner = updateBannerButton();
    banner->setTitle("Installing update\u2026");
    banner->setEnabled(false);
    if (updateController && updateController->immediateInstallHandler) updateController->immediateInstallHandler();
}
