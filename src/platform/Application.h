#pragma once
#include <functional>
#include <memory>

namespace platform {

class Image;
struct Event;

// How a UI backend presents the application's Dock icon: there while the activation
// policy is regular; display() shows the given icon image (absent: the application's
// own icon). Headless: a PNG file; desktop: a tray item of its own.
class Dock {
public:
    virtual ~Dock() = default;
    virtual void setIconShown(bool shown) = 0;
    virtual void display(const std::shared_ptr<Image>& image) = 0;
};

// The application's tile in the Dock. display() shows the current icon image again.
class DockTile {
public:
    void display() {
        ++displayCount_;
        if (displayHandler_) displayHandler_();
    }
    unsigned long displayCount() const { return displayCount_; }
    // What showing the tile means for the backend (headless: writing it as a PNG file).
    void setDisplayHandler(std::function<void()> handler) { displayHandler_ = std::move(handler); }

private:
    unsigned long displayCount_ = 0;
    std::function<void()> displayHandler_;
};

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

    // The Dock icon image; absent means the platform's default icon.
    std::shared_ptr<Image> applicationIconImage() const { return iconImage_; }
    void setApplicationIconImage(std::shared_ptr<Image> image) { iconImage_ = std::move(image); }
    DockTile& dockTile() { return dockTile_; }
    // The backend's presentation of the Dock icon; told the policy at once and on every
    // change, and shown the icon image on every dockTile().display().
    void setDock(std::shared_ptr<Dock> dock);

    // The event being handled on the main thread right now; absent outside event handling.
    std::shared_ptr<const Event> currentEvent() const { return currentEvent_; }
    // Set by the UI backend around the dispatch of one event.
    void setCurrentEvent(std::shared_ptr<const Event> event) { currentEvent_ = std::move(event); }

    // A click on the Dock icon: asks the delegate; true when the platform's default
    // handling should run (also when there is no delegate).
    bool handleReopen(bool hasVisibleWindows = false) {
        auto d = delegate();
        return d ? d->applicationShouldHandleReopen(hasVisibleWindows) : true;
    }

private:
    std::shared_ptr<Image> iconImage_;
    DockTile dockTile_;
    std::shared_ptr<Dock> dock_;
    std::shared_ptr<const Event> currentEvent_;
    Application() = default;
    std::weak_ptr<ApplicationDelegate> delegate_;
    ActivationPolicy policy_ = ActivationPolicy::regular;
    bool didTerminate_ = false;
};

}  // namespace platform
