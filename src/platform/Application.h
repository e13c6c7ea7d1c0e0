#pragma once
#include <memory>

namespace platform {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationWillTerminate() {}
    // A click on the application's Dock icon. True: the platform's default handling.
    virtual bool applicationShouldHandleReopen(bool /*hasVisibleWindows*/) { return true; }
};

enum class ActivationPolicy : int { regular = 0, accessory = 1, prohibited = 2 };

// The one application object. run() reports that launching has finished, then runs the
// main run loop; terminate() (also reached by SIGINT and SIGTERM) tells the delegate and
// ends the process.
class Application {
public:
    static Application& shared();

    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate);
    std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }

    bool setActivationPolicy(ActivationPolicy policy);
    ActivationPolicy activationPolicy() const { return policy_; }

    // Returns the exit status when the loop ends.
    int run();
    // Runs the will-terminate path once, then exits the process with status 0.
    void terminate();

    // For tests that drive a delegate without ending the process: the will-terminate
    // path without the exit.
    void runWillTerminate();

private:
    Application() = default;
    std::weak_ptr<ApplicationDelegate> delegate_;
    ActivationPolicy policy_ = ActivationPolicy::regular;
    bool didTerminate_ = false;
};

}  // namespace platform
