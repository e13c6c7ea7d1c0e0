#include "platform/ui/gtk/ApplicationIcon.h"

#include <gtk/gtk.h>

#include <cstring>
#include <map>

namespace platform::ui::ApplicationIcon {

namespace {

GdkPixbuf* fromSVG(int pixels) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("svg", nullptr);
    if (!loader) return nullptr;
    // Rendered at the size asked for, not scaled from another bitmap.
    gdk_pixbuf_loader_set_size(loader, pixels, pixels);
    GdkPixbuf* result = nullptr;
    const auto* bytes = reinterpret_cast<const guchar*>(svg);
    if (gdk_pixbuf_loader_write(loader, bytes, std::strlen(svg), nullptr) && gdk_pixbuf_loader_close(loader, nullptr)) {
        if (GdkPixbuf* loaded = gdk_pixbuf_loader_get_pixbuf(loader)) result = GDK_PIXBUF(g_object_ref(loaded));
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return result;
}

GdkPixbuf* fromTheme(int pixels) {
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    if (!theme) return nullptr;
    return gtk_icon_theme_load_icon(theme, themedName, pixels, GTK_ICON_LOOKUP_FORCE_SIZE, nullptr);
}

}  // namespace

GdkPixbuf* pixbuf(int pixels) {
    static std::map<int, GdkPixbuf*> cache;
    if (auto it = cache.find(pixels); it != cache.end()) return it->second;
    GdkPixbuf* result = fromSVG(pixels);
    if (!result) result = fromTheme(pixels);
    cache[pixels] = result;
    return result;
}

std::vector<GdkPixbuf*> windowIconList() {
    std::vector<GdkPixbuf*> list;
    for (int size : {16, 32, 48, 64, 128, 256})
        if (GdkPixbuf* p = pixbuf(size)) list.push_back(p);
    return list;
}

}  // namespace platform::ui::ApplicationIcon
