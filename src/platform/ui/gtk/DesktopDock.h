#pragma once
#include <gio/gio.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/ui/gtk/StatusNotifierItem.h"

namespace platform::ui {

class DesktopBackend;

// The Dock icon on a desktop without a Dock: a second tray item, "Tidemark Quota",
// registered while the activation policy is regular and gone while it is accessory.
// Its icon is the application's icon image at every pixmap size (the application's own
// icon when there is none), its tooltip what the image shows, and a click on it is the
// application's reopen request.
class DesktopDock final : public Dock {
public:
    static constexpr std::array<int, 6> pixmapSizes{22, 32, 48, 64, 128, 256};
    static constexpr const char* title = "Tidemark Quota";

    explicit DesktopDock(DesktopBackend& backend);
    ~DesktopDock() override;
    DesktopDock(const DesktopDock&) = delete;
    DesktopDock& operator=(const DesktopDock&) = delete;

    void setIconShown(bool shown) override;
    void display(const std::shared_ptr<Image>& image) override;

    bool isIconShown() const { return item_ != nullptr; }
    StatusNotifierItem* notifierItem() const { return item_.get(); }
    // How many times an image was drawn into pixmaps (once per change of image).
    unsigned long drawCount() const { return drawCount_; }

private:
    void draw(const std::shared_ptr<Image>& image);
    void publish();
    void reopen(int x, int y);

    DesktopBackend& backend_;
    // A connection of its own: the item is at /StatusNotifierItem under a bus name of its
    // own, and hosts see it go when that name is released.
    GDBusConnection* connection_ = nullptr;
    std::unique_ptr<StatusNotifierItem> item_;
    bool hasDrawn_ = false;
    std::shared_ptr<Image> drawnImage_;
    std::vector<StatusNotifierItem::Pixmap> pixmaps_;
    std::string iconName_;
    std::string toolTip_;
    unsigned long drawCount_ = 0;
};

}  // namespace platform::ui
