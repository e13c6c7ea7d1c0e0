#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/Bundle.h"
#include "platform/Updater.h"

// Starts the updater when the bundle declares a feed, checks once in the background,
// and hands a ready-to-install update to the panel's banner. Main thread only.
class TidemarkUpdateController : public platform::UpdaterDelegate {
public:
    // The running bundle and the standard updater.
    TidemarkUpdateController();
    // The factory runs only when the bundle declares "SUFeedURL".
    TidemarkUpdateController(const platform::Bundle& bundle, platform::UpdaterFactory makeUpdater);
    ~TidemarkUpdateController() override;
    TidemarkUpdateController(const TidemarkUpdateController&) = delete;
    TidemarkUpdateController& operator=(const TidemarkUpdateController&) = delete;

    std::function<void(const std::string& version)> onReadyToInstall;
    std::function<void()> immediateInstallHandler;
    std::shared_ptr<platform::Updater> updaterController;

    bool updaterWillInstallUpdateOnQuit(const std::string& displayVersionString,
                                        std::function<void()> installNow) override;

    static constexpr const char* feedURLKey = "SUFeedURL";

private:
    std::shared_ptr<TidemarkUpdateController*> lifetime_;
};
