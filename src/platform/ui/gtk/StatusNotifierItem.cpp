#include "platform/ui/gtk/StatusNotifierItem.h"

#include <unistd.h>

#include <atomic>

#include "platform/Log.h"
#include "platform/graphics/Image.h"

namespace platform::ui {

namespace {

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";

constexpr const char* introspection = R"XML(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)XML";

GDBusNodeInfo* nodeInfo() {
    static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(introspection, nullptr);
    return info;
}

std::atomic<int> nextInstance{1};

// Template glyphs are drawn in the light tone of dark panels, where most trays sit.
constexpr uint8_t templateTone = 0xF2;
// What hosts take for "no menu".
constexpr const char* noMenuPath = "/NO_DBUSMENU";

GVariant* emptyPixmaps() { return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0); }

}  // namespace

std::optional<StatusNotifierItem::Pixmap> StatusNotifierItem::Pixmap::from(const Image& image, int pixels) {
    auto bitmap = image.bitmap(pixels, pixels);
    if (!bitmap) return std::nullopt;
    Pixmap result{pixels, pixels, {}};
    result.argb.resize(bitmap->pixels.size() * 4);
    const bool tint = image.isTemplate();
    uint8_t* out = result.argb.data();
    for (const auto& p : bitmap->pixels) {
        out[0] = p.a;
        out[1] = tint ? templateTone : p.r;
        out[2] = tint ? templateTone : p.g;
        out[3] = tint ? templateTone : p.b;
        out += 4;
    }
    return result;
}

StatusNotifierItem::StatusNotifierItem(GDBusConnection* connection, std::string id, std::string title,
                                       std::string objectPath, std::string menuPath, Handlers handlers,
                                       std::string category)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      id_(std::move(id)),
      title_(std::move(title)),
      objectPath_(std::move(objectPath)),
      menuPath_(std::move(menuPath)),
      handlers_(std::move(handlers)),
      category_(std::move(category)),
      busName_("org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(nextInstance++)),
      cancellable_(g_cancellable_new()),
      pixmaps_(g_variant_ref_sink(emptyPixmaps())) {
    static const GDBusInterfaceVTable vtable = {&StatusNotifierItem::onMethodCall, &StatusNotifierItem::onGetProperty,
                                                nullptr, {}};
    GError* error = nullptr;
    registration_ = g_dbus_connection_register_object(connection_, objectPath_.c_str(), nodeInfo()->interfaces[0], &vtable,
                                                      this, nullptr, &error);
    if (!registration_) {
        log(std::string("[Tidemark] Could not export the tray item: ") + error->message);
        g_error_free(error);
    }
    ownership_ = g_bus_own_name_on_connection(connection_, busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                              nullptr, nullptr, nullptr, nullptr);
    watch_ = g_bus_watch_name_on_connection(connection_, watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                            &StatusNotifierItem::onWatcherAppeared,
                                            &StatusNotifierItem::onWatcherVanished, this, nullptr);
}

StatusNotifierItem::~StatusNotifierItem() {
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    if (watch_) g_bus_unwatch_name(watch_);
    if (ownership_) g_bus_unown_name(ownership_);
    if (registration_) g_dbus_connection_unregister_object(connection_, registration_);
    g_object_unref(connection_);
    g_variant_unref(pixmaps_);
}

void StatusNotifierItem::setIcon(const std::vector<Pixmap>& pixmaps, std::string iconName) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const auto& pixmap : pixmaps) {
        GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixmap.argb.data(), pixmap.argb.size(), 1);
        g_variant_builder_add(&builder, "(ii@ay)", pixmap.width, pixmap.height, bytes);
    }
    g_variant_unref(pixmaps_);
    pixmaps_ = g_variant_ref_sink(g_variant_builder_end(&builder));
    iconName_ = std::move(iconName);
    emit("NewIcon", nullptr);
}

void StatusNotifierItem::setToolTip(std::string title, std::string text) {
    toolTipTitle_ = std::move(title);
    toolTipText_ = std::move(text);
    emit("NewToolTip", nullptr);
}

void StatusNotifierItem::emit(const char* signal, GVariant* parameters) {
    g_dbus_connection_emit_signal(connection_, nullptr, objectPath_.c_str(), itemInterface, signal, parameters, nullptr);
}

void StatusNotifierItem::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                                      GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    const std::string name = method;
    if (name == "Activate" || name == "ContextMenu" || name == "SecondaryActivate") {
        gint32 x = 0, y = 0;
        g_variant_get(parameters, "(ii)", &x, &y);
        // Answer first: the handler may run a nested loop (a menu on screen).
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (name == "Activate" && self->handlers_.activate) self->handlers_.activate(x, y);
        if (name == "ContextMenu" && self->handlers_.contextMenu) self->handlers_.contextMenu(x, y);
        return;
    }
    if (name == "Scroll") {
        g_dbus_method_invocation_return_value(invocation, nullptr);
        return;
    }
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
}

GVariant* StatusNotifierItem::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                            const gchar* property, GError**, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    const std::string name = property;
    if (name == "Category") return g_variant_new_string(self->category_.c_str());
    if (name == "Id") return g_variant_new_string(self->id_.c_str());
    if (name == "Title") return g_variant_new_string(self->title_.c_str());
    if (name == "Status") return g_variant_new_string("Active");
    if (name == "WindowId") return g_variant_new_int32(0);
    if (name == "IconName") return g_variant_new_string(self->iconName_.c_str());
    if (name == "IconPixmap") return g_variant_ref(self->pixmaps_);
    if (name == "ToolTip") {
        return g_variant_new("(s@a(iiay)ss)", "", emptyPixmaps(), self->toolTipTitle_.c_str(),
                             self->toolTipText_.c_str());
    }
    if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (name == "Menu") return g_variant_new_object_path(self->menuPath_.empty() ? noMenuPath : self->menuPath_.c_str());
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") return emptyPixmaps();
    return g_variant_new_string("");
}

void StatusNotifierItem::registerWithWatcher() {
    g_dbus_connection_call(
        connection_, watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", objectPath_ == "/StatusNotifierItem" ? busName_.c_str() : objectPath_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            if (reply) {
                g_variant_unref(reply);
                auto* self = static_cast<StatusNotifierItem*>(data);
                log("[Tidemark] Tray item registered: " + self->busName_);
                if (self->handlers_.hostChanged) self->handlers_.hostChanged(true);
                return;
            }
            const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
            if (!cancelled) log(std::string("[Tidemark] Could not register the tray item: ") + error->message);
            g_error_free(error);
        },
        this);
}

void StatusNotifierItem::onWatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
    static_cast<StatusNotifierItem*>(data)->registerWithWatcher();
}

void StatusNotifierItem::onWatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<StatusNotifierItem*>(data);
    if (self->handlers_.hostChanged) self->handlers_.hostChanged(false);
}

}  // namespace platform::ui
