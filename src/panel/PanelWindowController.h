#pragma once
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "panel/ResizeHandleView.h"
#include "panel/TidemarkUpdateController.h"
#include "panel/WebViewController.h"
#include "platform/UserDefaults.h"
#include "platform/ui/Button.h"
#include "platform/ui/Popover.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"
#include "server/NodeServerManager.h"

// Where the panel looks for its settings and the bundled server; the defaults are the
// running application's.
struct PanelEnvironment {
    platform::UserDefaults* defaults = nullptr;           // standard user defaults
    std::optional<std::string> executableDirectory;       // the running executable's
};

// The popover under the status item: the web view, the restart-to-update banner and
// the resize strip; it opens and closes on request and tells the page. Main thread only.
class PanelWindowController : public platform::PopoverDelegate {
public:
    static constexpr const char* heightKey = "Tidemark.panelHeight";
    static constexpr double defaultHeight = 640;
    static constexpr double bannerHeight = 42;
    static constexpr double resizeStripHeight = 6;
    static constexpr double screenMargin = 60;
    static constexpr double fallbackMaximumHeight = 1140;
    static constexpr int64_t openBridgeAttempts = 120;
    static constexpr int64_t closeBridgeAttempts = 20;

    PanelWindowController(std::shared_ptr<NodeServerManager> serverManager,
                          std::shared_ptr<TidemarkUpdateController> updateController,
                          WebViewController::DockQuotaCallback onDockQuotaUpdate, PanelEnvironment environment = {});
    ~PanelWindowController() override;
    PanelWindowController(const PanelWindowController&) = delete;
    PanelWindowController& operator=(const PanelWindowController&) = delete;

    const std::shared_ptr<WebViewController> webController;
    const std::shared_ptr<TidemarkUpdateController> updateController;
    const std::shared_ptr<platform::ViewController> contentController;
    const std::shared_ptr<ResizeHandleView> resizeHandle;
    const std::shared_ptr<platform::Popover> popover;
    const double panelWidth = 420;
    const double minHeight = 300;
    double currentHeight = defaultHeight;
    std::shared_ptr<platform::LayoutConstraint> webViewTopConstraint;
    std::weak_ptr<platform::StatusBarButton> anchorButton;

    // Built on first access.
    std::shared_ptr<platform::Button> updateBannerButton();

    void toggle(std::shared_ptr<platform::StatusBarButton> button);
    // Steps a to f of opening, also used to reopen at the anchor after a failed start.
    void showPopover(const std::shared_ptr<platform::StatusBarButton>& button);
    void popoverDidClose(platform::Popover& popover) override;
    void installUpdate();

    bool hasBundledServer() const;
    static bool hasBundledServer(const std::string& executableDirectory);
    static bool shouldKeepPopoverOpen();
    // The first height from the stored one (0 when missing).
    static double initialHeight(double stored);

private:
    void setupContent();
    void handleDrag(double delta);
    void showUpdateBanner(const std::string& version);

    platform::UserDefaults& defaults_;
    std::optional<std::string> executableDirectory_;
    std::shared_ptr<platform::Button> updateBannerButton_;
    std::shared_ptr<PanelWindowController*> lifetime_;
};
