#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Updater.h"

namespace platform {

class DispatchQueue;
class UserDefaults;

// Where the updater looks and what it does at the end. makeStandardUpdater fills it
// from the running installation; tests point it elsewhere.
struct StandardUpdaterOptions {
    std::string feedURL{};
    // The folder that holds Tidemark, TidemarkServer and tidemark-nettop. Updates are
    // unpacked next to it, so its parent must be writable.
    std::string installDirectory{};
    // Downloaded archives are kept here ($XDG_CACHE_HOME/Tidemark/updates).
    std::string cacheDirectory{};
    // The module that unpacks archives (modules/tidemark-archive.so beside the executable).
    std::string archiveModule{};
    std::string currentVersion{};
    // Null: the standard user defaults.
    UserDefaults* defaults = nullptr;
    double feedTimeout = 30;
    double downloadTimeout = 600;
    // Starts the installed Tidemark; empty: UpdateInstaller::launchDetached.
    std::function<std::optional<Error>(const std::string& executablePath)> launch{};
    // Ends the running application after an immediate install; empty:
    // Application::shared().terminate().
    std::function<void()> terminate{};

    // The running installation: the feed from "SUFeedURL" in the main bundle's info
    // dictionary, the executable's folder, the version this program was built as.
    static StandardUpdaterOptions forMainBundle();
};

// A feed-based updater. Checks run one at a time on the queue "Tidemark.Updater": fetch
// the feed, download a newer archive, check its SHA-256, unpack it next to the install
// folder and, once it holds an executable Tidemark, report to the delegate on the main
// thread. Any failure leaves the installed folder alone and logs one line.
class StandardUpdater final : public Updater {
public:
    StandardUpdater(StandardUpdaterOptions options, std::weak_ptr<UpdaterDelegate> delegate);
    ~StandardUpdater() override;

    // The user default "SUEnableAutomaticChecks"; on while it is absent.
    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool value) override;
    void checkForUpdatesInBackground() override;
    // Puts a staged update in place without starting it (the user is quitting).
    void installStagedUpdateIfAny() override;

    // Returns once the checks asked for so far have finished (their reports may still be
    // on their way to the main queue). Not from the updater's own queue.
    void waitForPendingChecks();

    // The staged update's display version, if one is waiting.
    std::optional<std::string> stagedDisplayVersion() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace platform
