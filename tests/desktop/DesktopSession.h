#pragma once
// A private desktop for one test: its own Xvfb (display chosen by -displayfd, so tests
// run in parallel), its own D-Bus session bus, a test StatusNotifierWatcher that can be
// stopped and started again, and a GDBus connection for driving Tidemark.
#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace desktoptest {

// Where desktop tests leave their screenshots and icons (made when missing).
std::string artifactDirectory();
// Runs this process's GLib main context (and with it the main queue) until `done` or
// the timeout; whether `done` came true.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// A value in GVariant text form.
std::string printed(GVariant* value);

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
};

class DesktopSession {
public:
    static constexpr int screenWidth = 1280;
    static constexpr int screenHeight = 1024;

    explicit DesktopSession(bool withWatcher = true);
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    const std::string& display() const { return display_; }
    const std::string& busAddress() const { return busAddress_; }
    GDBusConnection* bus() const { return bus_; }
    // DISPLAY, the bus and TIDEMARK_UI=desktop, for TidemarkRunOptions.
    std::map<std::string, std::string> environment() const;
    // Points this test process at the session (display, bus, X11, no accessibility bus),
    // for tests that open the desktop backend in-process.
    void exportToThisProcess() const;

    void startWatcher();
    void stopWatcher();
    // Waits for the watcher's n-th registration; answers "busname path".
    std::optional<std::string> waitForRegistration(size_t count, std::chrono::milliseconds timeout);
    std::string watcherOutput() const;

    // A method call on the session bus; nullptr (and the error in `error`) on failure.
    GVariant* call(const std::string& busName, const std::string& path, const std::string& interface,
                   const std::string& method, GVariant* parameters, std::string* error = nullptr);
    GVariant* property(const std::string& busName, const std::string& path, const std::string& interface,
                       const std::string& name);

    // A program run on this display to its end; its standard output.
    std::string run(const std::vector<std::string>& arguments, int* status = nullptr) const;
    // The visible top-level window titled exactly "Tidemark", if any.
    std::optional<WindowGeometry> panelWindow() const;
    // Saves the whole screen as a PNG.
    bool screenshot(const std::string& path) const;

private:
    testsupport::TemporaryDirectory directory_;
    int xvfb_ = -1, dbus_ = -1, watcher_ = -1;
    std::string display_;
    std::string busAddress_;
    GDBusConnection* bus_ = nullptr;
    std::string watcherLog_;
};

// Finds the argument of a "registered <bus name> <path>" line.
std::pair<std::string, std::string> splitRegistration(const std::string& line);

}  // namespace desktoptest
