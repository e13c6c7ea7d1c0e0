#include "panel/TidemarkUpdateController.h"

TidemarkUpdateController::TidemarkUpdateController()
    : TidemarkUpdateController(platform::Bundle::main(), platform::makeStandardUpdater) {}

TidemarkUpdateController::TidemarkUpdateController(const platform::Bundle& bundle,
                                                   platform::UpdaterFactory makeUpdater)
    : lifetime_(std::make_shared<TidemarkUpdateController*>(this)) {
    if (!bundle.infoDictionary().contains(feedURLKey)) return;
    if (!makeUpdater) return;
    updaterController = makeUpdater(std::shared_ptr<platform::UpdaterDelegate>(lifetime_, this));
    if (updaterController && updaterController->automaticallyChecksForUpdates())
        updaterController->checkForUpdatesInBackground();
}

TidemarkUpdateController::~TidemarkUpdateController() { lifetime_.reset(); }

bool TidemarkUpdateController::updaterWillInstallUpdateOnQuit(const std::string& displayVersionString,
                                                              std::function<void()> installNow) {
    immediateInstallHandler = [installNow = std::move(installNow)] {
        if (installNow) installNow();
    };
    if (onReadyToInstall) onReadyToInstall(displayVersionString);
    return true;
}
