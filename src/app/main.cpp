#include <memory>

#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "app/LaunchGate.h"
#include "platform/Application.h"
#include "platform/ProcessTable.h"
#include "platform/UserDefaults.h"
#include "platform/ui/Backend.h"
#include "platform/updater/UpdateInstaller.h"
#include "platform/ui/BackendSelection.h"

namespace {
// Kept for the life of the process: the application holds its delegate only weakly.
platform::Application* application = nullptr;
std::shared_ptr<AppDelegate> appDelegate;
// Held for the life of the process: the lock that makes this the user's one instance.
std::unique_ptr<platform::SingleInstance> singleInstance;
}  // namespace

int main(int argc, char** argv) {
    if (auto status = CommandLine::handle(argc, argv)) return *status;
    if (auto status = LaunchGate::enter(singleInstance)) return *status;
    if (!platform::ui::installBackendForEnvironment()) return 1;
    // An update's relaunch runs on the backend this run uses, not on a new guess.
    platform::UpdateInstaller::setRelaunchValue("TIDEMARK_UI", platform::ui::Backend::current().name());
    // The process reader keeps a few descriptors per process open between cycles.
    platform::raiseDescriptorLimit();
    application = &platform::Application::shared();
    appDelegate = std::make_shared<AppDelegate>();
    application->setDelegate(appDelegate);
    // Before the policy: a regular policy at start shows the backend's Dock icon at once.
    application->setDock(platform::ui::Backend::current().makeDock());
    const bool dockIconEnabled = platform::UserDefaults::standard().boolForKey("Tidemark.dynamicDockIconEnabled");
    application->setActivationPolicy(dockIconEnabled ? platform::ActivationPolicy::regular
                                                     : platform::ActivationPolicy::accessory);
    LaunchGate::listen(singleInstance.get(), [] { return appDelegate->openPanelForAnotherLaunch(); });
    return application->run();
}
