// A StatusNotifierWatcher for the desktop tests: it owns org.kde.StatusNotifierWatcher
// on the bus it is given, reports a host, records every registered item and prints
// "registered <bus name> <object path>" for each, so a test can wait for it, and
// "unregistered <bus name>" when that name leaves the bus, as hosts see it. Ends on
// SIGTERM or when the bus goes away.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* introspection = R"XML(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)XML";

std::vector<std::string> items;
GMainLoop* loop = nullptr;

void onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
    const std::string name = method;
    if (name == "RegisterStatusNotifierItem") {
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        std::string busName = service;
        std::string path = "/StatusNotifierItem";
        if (!busName.empty() && busName[0] == '/') {
            path = busName;
            busName = sender;
        }
        const std::string entry = busName + path;
        items.push_back(entry);
        // Only a name that was there and then went counts: absence is reported at once too.
        auto* appeared = new bool(false);
        g_bus_watch_name_on_connection(
            connection, busName.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, gpointer data) { *static_cast<bool*>(data) = true; },
            [](GDBusConnection*, const gchar* name, gpointer data) {
                auto* seen = static_cast<bool*>(data);
                if (!*seen) return;
                *seen = false;
                std::erase_if(items, [&](const std::string& item) { return item.rfind(name, 0) == 0; });
                std::printf("unregistered %s\n", name);
                std::fflush(stdout);
            },
            appeared, [](gpointer data) { delete static_cast<bool*>(data); });
        g_dbus_method_invocation_return_value(invocation, nullptr);
        g_dbus_connection_emit_signal(connection, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                      "StatusNotifierItemRegistered", g_variant_new("(s)", entry.c_str()), nullptr);
        std::printf("registered %s %s\n", busName.c_str(), path.c_str());
        std::fflush(stdout);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property, GError**,
                        gpointer) {
    const std::string name = property;
    if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
    if (name == "ProtocolVersion") return g_variant_new_int32(0);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const auto& item : items) g_variant_builder_add(&builder, "s", item.c_str());
    return g_variant_builder_end(&builder);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BUS-ADDRESS\n", argv[0]);
        return 2;
    }
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        argv[1], GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!connection) {
        std::fprintf(stderr, "watcher: %s\n", error->message);
        return 1;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
    g_dbus_connection_register_object(connection, "/StatusNotifierWatcher", info->interfaces[0], &vtable, nullptr,
                                      nullptr, nullptr);
    loop = g_main_loop_new(nullptr, FALSE);
    g_bus_own_name_on_connection(
        connection, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer) {
            std::printf("watching\n");
            std::fflush(stdout);
        },
        [](GDBusConnection*, const gchar*, gpointer) { g_main_loop_quit(loop); }, nullptr, nullptr);
    g_unix_signal_add(SIGTERM, [](gpointer) -> gboolean {
        g_main_loop_quit(loop);
        return G_SOURCE_REMOVE;
    }, nullptr);
    g_signal_connect(connection, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer) {
        g_main_loop_quit(loop);
    }), nullptr);
    g_main_loop_run(loop);
    return 0;
}
