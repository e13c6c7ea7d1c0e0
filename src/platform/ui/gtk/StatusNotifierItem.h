#pragma once
#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    };
    struct Handlers {
        std::function<void(int x, int y)> activate;
        std::function<void(int x, int y)> contextMenu;
        // Whether a host is there to show the item (false: none on the bus).
        std::function<void(bool hostPresent)> hostChanged;
    };

    // The first item of a process lives at /StatusNotifierItem and registers by bus
    // name; later ones register by their own object path.
    StatusNotifierItem(GDBusConnection* connection, std::string id, std::string title, std::string objectPath,
                       std::string menuPath, Handlers handlers);
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    const std::string& busName() const { return busName_; }
    const std::string& objectPath() const { return objectPath_; }

    // Hosts are told with NewIcon / NewToolTip.
    void setIcon(std::vector<Pixmap> pixmaps, std::string iconName);
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
    GVariant* pixmapVariant() const;

    GDBusConnection* connection_;
    std::string id_;
    std::string title_;
    std::string objectPath_;
    std::string menuPath_;
    Handlers handlers_;
    std::string busName_;
    guint registration_ = 0;
    guint ownership_ = 0;
    guint watch_ = 0;
    GCancellable* cancellable_;
    std::vector<Pixmap> pixmaps_;
    std::string iconName_;
    std::string toolTipTitle_;
    std::string toolTipText_;
};

}  // namespace platform::ui
