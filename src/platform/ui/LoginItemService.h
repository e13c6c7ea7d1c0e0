#pragma once
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform {

// With the platform's numbering.
enum class LoginItemStatus : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// Starting the application when the user logs in.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() const = 0;
    // Absent on success.
    virtual std::optional<Error> registerItem() = 0;
    virtual std::optional<Error> unregisterItem() = 0;
    // Shows where the user approves login items, when the platform has such a place.
    virtual void openSystemSettingsLoginItems() = 0;

    // The running executable as an XDG autostart entry under $XDG_CONFIG_HOME (read now).
    static std::shared_ptr<LoginItemService> mainApp();
};

// An XDG autostart entry that starts one program.
class AutostartLoginItemService : public LoginItemService {
public:
    // command: an absolute executable path, or a program name looked up on PATH.
    AutostartLoginItemService(std::string entryPath, std::string command);

    // $XDG_CONFIG_HOME/autostart/tidemark.desktop
    static std::string defaultEntryPath();
    // What the entry starts for this executable: "tidemark", as the menu entry does, when
    // it runs from an installed prefix (<prefix>/lib/tidemark/ with <prefix>/bin/tidemark
    // leading to it) and PATH finds that link; the link's absolute path when PATH does
    // not; the executable's own path anywhere else (a build tree).
    static std::string launchCommand(const std::string& executablePath);
    // The entry's text for a command; absent when it cannot be written in one.
    static std::optional<std::string> desktopEntry(const std::string& command);
    // The program an entry's Exec line starts (unquoted), absent when there is none.
    static std::optional<std::string> executableFromEntry(const std::string& contents);
    static bool isHidden(const std::string& contents);

    // Enabled: the entry exists, is not hidden and its Exec names an existing
    // executable; not found: it exists but that executable is gone; otherwise not
    // registered. Approval is never required here.
    LoginItemStatus status() const override;
    // Writes the entry atomically.
    std::optional<Error> registerItem() override;
    std::optional<Error> unregisterItem() override;
    // There is no settings page for autostart entries: nothing to open.
    void openSystemSettingsLoginItems() override {}

    const std::string& entryPath() const { return entryPath_; }

private:
    std::string entryPath_;
    std::string command_;
};

}  // namespace platform
