#include "platform/ui/gtk/DesktopDock.h"

#include <gtk/gtk.h>

#include <cstring>

#include "platform/Log.h"
#include "platform/graphics/Image.h"
#include "platform/ui/gtk/ApplicationIcon.h"
#include "platform/ui/gtk/DesktopBackend.h"

namespace platform::ui {

namespace {

std::optional<StatusNotifierItem::Pixmap> pixmapFrom(GdkPixbuf* pixbuf) {
    if (!pixbuf || gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8)
        return std::nullopt;
    const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    StatusNotifierItem::Pixmap result{width, height, {}};
    result.argb.reserve(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        const guchar* row = pixels + size_t(y) * stride;
        for (int x = 0; x < width; ++x) {
            const guchar* p = row + size_t(x) * channels;
            result.argb.insert(result.argb.end(), {alpha ? p[3] : guchar(255), p[0], p[1], p[2]});
        }
    }
    return result;
}

}  // namespace

DesktopDock::DesktopDock(DesktopBackend& backend) : backend_(backend) {}

DesktopDock::~DesktopDock() {
    item_.reset();
    if (connection_) g_object_unref(connection_);
}

void DesktopDock::setIconShown(bool shown) {
    if (!shown) {
        item_.reset();
        return;
    }
    if (item_ || !backend_.sessionBus()) return;
    if (!connection_) {
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (address) {
            connection_ = g_dbus_connection_new_for_address_sync(
                address,
                GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                     G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
        }
        if (!connection_) {
            log(std::string("[Tidemark] No tray item for the quota icon: ") + (error ? error->message : "no session bus"));
            if (error) g_error_free(error);
            return;
        }
        g_dbus_connection_set_exit_on_close(connection_, FALSE);
    }
    item_ = std::make_unique<StatusNotifierItem>(
        connection_, "tidemark-quota", title, "/StatusNotifierItem", "",
        StatusNotifierItem::Handlers{[this](int x, int y) { reopen(x, y); }, nullptr, nullptr}, "ApplicationStatus");
    if (!hasDrawn_) draw(nullptr);
    publish();
}

void DesktopDock::display(const std::shared_ptr<Image>& image) {
    // Drawn once per image: hosts that ask again, and a display() of the same image,
    // get the kept pixmaps.
    if (!hasDrawn_ || image != drawnImage_) draw(image);
    publish();
}

void DesktopDock::draw(const std::shared_ptr<Image>& image) {
    hasDrawn_ = true;
    drawnImage_ = image;
    ++drawCount_;
    pixmaps_.clear();
    iconName_.clear();
    if (image) {
        for (int size : pixmapSizes)
            if (auto p = StatusNotifierItem::Pixmap::from(*image, size)) pixmaps_.push_back(std::move(*p));
        toolTip_ = image->accessibilityDescription();
        return;
    }
    for (int size : pixmapSizes)
        if (auto p = pixmapFrom(ApplicationIcon::pixbuf(size))) pixmaps_.push_back(std::move(*p));
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    if (theme && gtk_icon_theme_has_icon(theme, ApplicationIcon::themedName)) iconName_ = ApplicationIcon::themedName;
    toolTip_.clear();
}

void DesktopDock::publish() {
    if (!item_) return;
    item_->setIcon(pixmaps_, iconName_);
    item_->setToolTip(title, toolTip_);
}

void DesktopDock::reopen(int x, int y) {
    if (!Application::shared().handleReopen(backend_.hasVisiblePanel())) return;
    // The default handling: bring the application forward, which here is its panel.
    backend_.bringPanelForward(x, y);
}

}  // namespace platform::ui
