#pragma once
#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "platform/ui/Menu.h"

namespace platform::ui {

class DesktopBackend;

// A menu that the backend either shows as a GTK menu at the click, or leaves open for
// a tray host that draws the exported copy itself.
class DesktopMenu final : public Menu, public std::enable_shared_from_this<DesktopMenu> {
public:
    DesktopMenu(std::string title, DesktopBackend& backend) : Menu(std::move(title)), backend_(backend) {}
    ~DesktopMenu() override;

    // Builds and shows the GTK menu at a desktop point.
    void showOnScreen(int x, int y);
    GtkWidget* widget() const { return widget_; }

protected:
    void didPopUp() override;
    void didClose() override;

private:
    void destroyWidget();

    DesktopBackend& backend_;
    GtkWidget* widget_ = nullptr;
};

}  // namespace platform::ui
