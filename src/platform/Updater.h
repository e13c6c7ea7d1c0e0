#pragma once
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Told by the updater when an update is downloaded and will be installed at quit.
class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;
    // On the main thread. installNow asks the updater to install at once (it restarts the
    // application). Returning true means the application offers the immediate install.
    virtual bool updaterWillInstallUpdateOnQuit(const std::string& displayVersionString,
                                                std::function<void()> installNow) = 0;
};

// An updater started from a declared feed.
class Updater {
public:
    virtual ~Updater() = default;
    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool value) = 0;
    virtual void checkForUpdatesInBackground() = 0;
    // Called when the application terminates: puts an update that is waiting in place,
    // without starting it. Does nothing when no update is staged.
    virtual void installStagedUpdateIfAny() {}
};

// Creates and starts the updater for the running installation, reporting to the
// delegate (held weakly). Absent when the bundle declares no "SUFeedURL".
using UpdaterFactory = std::function<std::shared_ptr<Updater>(std::weak_ptr<UpdaterDelegate> delegate)>;
std::shared_ptr<Updater> makeStandardUpdater(std::weak_ptr<UpdaterDelegate> delegate);

}  // namespace platform
