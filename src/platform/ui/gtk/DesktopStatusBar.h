#pragma once
#include <memory>
#include <string>

#include "platform/ui/StatusBar.h"
#include "platform/ui/gtk/DBusMenuExporter.h"
#include "platform/ui/gtk/StatusNotifierItem.h"

namespace platform::ui {

class DesktopBackend;

// A status item published as a StatusNotifierItem with its menu over dbusmenu. The
// host's Activate is a left click on the button (left mouse up), ContextMenu a right
// click (right mouse down) that shows the menu at that point.
class DesktopStatusItem final : public StatusItem {
public:
    DesktopStatusItem(double length, DesktopBackend& backend, std::string objectPath);
    ~DesktopStatusItem() override;

    // Reads the button's image (or title) again and hands it to the host.
    void refreshIcon();
    StatusNotifierItem* notifierItem() const { return item_.get(); }
    // A left click at (x, y) on the screen, as the host's Activate gives it.
    void activate(int x, int y);

private:
    void click(int x, int y, bool right);
    std::shared_ptr<Menu> openForHost();

    DesktopBackend& backend_;
    std::unique_ptr<DBusMenuExporter> menuExporter_;
    std::unique_ptr<StatusNotifierItem> item_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class DesktopStatusBar final : public StatusBar {
public:
    explicit DesktopStatusBar(DesktopBackend& backend) : backend_(backend) {}

protected:
    std::shared_ptr<StatusItem> makeItem(double length) override;

private:
    DesktopBackend& backend_;
    int created_ = 0;
};

}  // namespace platform::ui
