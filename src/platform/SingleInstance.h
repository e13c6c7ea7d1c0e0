#pragma once
// One running Tidemark per user. The first launch holds a lock that dies with it (flock on
// "instance.lock" in the user's private runtime folder) and answers on a Unix socket beside
// it; a later launch finds the lock taken, asks the running one to show itself and ends.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Error.h"

namespace platform {

class SingleInstance {
public:
    // Takes the lock in `directory` (made private first). With `waitForRelease`, waits that
    // long for a previous instance to let go (a relaunch after an update) before giving up
    // and reporting it as running. An error when the folder or lock cannot be used at all.
    static std::variant<std::unique_ptr<SingleInstance>, Error> acquire(
        const std::string& directory, std::chrono::milliseconds waitForRelease = std::chrono::milliseconds(0));

    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process holds the lock.
    bool isPrimary() const { return lockDescriptor_ >= 0; }

    // Primary only: answers later launches. `onOpenRequest` runs on the main queue and
    // returns the line the later launch prints (may be empty).
    std::optional<Error> startListening(std::function<std::string()> onOpenRequest);

    // Not primary: asks the running instance to open its panel. Its answer line, or an
    // error when it could not be reached within the timeout.
    std::variant<std::string, Error> requestOpen(std::chrono::milliseconds timeout) const;

    // Set (to "1") in the environment of a program relaunched to finish an update: it
    // waits for the quitting instance's lock rather than handing over to it.
    static constexpr const char* relaunchVariable = "TIDEMARK_RELAUNCHED_FOR_UPDATE";

    // Names inside the folder.
    static constexpr const char* lockFileName = "instance.lock";
    static constexpr const char* socketFileName = "instance.socket";

    struct Listener;

private:
    SingleInstance(std::string directory, int lockDescriptor);
    std::string directory_;
    int lockDescriptor_ = -1;
    std::shared_ptr<Listener> listener_;
};

}  // namespace platform
