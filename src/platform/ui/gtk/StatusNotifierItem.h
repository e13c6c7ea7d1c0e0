#pragma once
#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class Image;
}

namespace platform::ui {

// One tray item on the session bus (org.kde.StatusNotifierItem), registered with the
// org.kde.StatusNotifierWatcher and registered again whenever a watcher appears.
class StatusNotifierItem {
public:
    // ARGB32 in network byte order, as the hosts read it.
    struct Pixmap {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> argb;

        // The image drawn at pixels x pixels; a template image in the light tone of the
        // dark panels most trays have. Nothing when it cannot be drawn.
        static std::optional<Pixmap> from(const Image& image, int pixels);
    };
    struct Handlers {
        std::function<void(int x, int y)> activate;
        std::function<void(int x, int y)> contextMenu;
        // Whether a host is there to show the item (false: none on the bus).
        std::function<void(bool hostPresent)> hostChanged;
    };

    // An item at /StatusNotifierItem registers by bus name (and is gone for hosts when
    // that name is released); one at another path registers by path. An empty menu path:
    // the item has no menu.
    StatusNotifierItem(GDBusConnection* connection, std::string id, std::string title, std::string objectPath,
                       std::string menuPath, Handlers handlers, std::string category = "SystemServices");
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    const std::string& busName() const { return busName_; }
    const std::string& objectPath() const { return objectPath_; }

    // Hosts are told with NewIcon / NewToolTip. The pixmaps are packed for the bus once
    // here; every host request gets that same value.
    void setIcon(const std::vector<Pixmap>& pixmaps, std::string iconName);
    void setToolTip(std::string title, std::string text);

private:
    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                                   GError**, gpointer self);
    static void onWatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self);
    static void onWatcherVanished(GDBusConnection*, const gchar*, gpointer self);
    void registerWithWatcher();
    void emit(const char* signal, GVariant* parameters);

    GDBusConnection* connection_;
    std::string id_;
    std::string title_;
    std::string objectPath_;
    std::string menuPath_;
    Handlers handlers_;
    std::string category_;
    std::string busName_;
    guint registration_ = 0;
    guint ownership_ = 0;
    guint watch_ = 0;
    GCancellable* cancellable_;
    GVariant* pixmaps_;
    std::string iconName_;
    std::string toolTipTitle_;
    std::string toolTipText_;
};

}  // namespace platform::ui
