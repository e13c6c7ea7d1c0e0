#include "platform/ui/gtk/DBusMenuExporter.h"

#include <algorithm>

#include "platform/ui/Menu.h"

namespace platform::ui {

namespace {

constexpr const char* menuInterface = "com.canonical.dbusmenu";

constexpr const char* introspection = R"XML(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
</node>)XML";

GDBusNodeInfo* nodeInfo() {
    static GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(introspection, nullptr);
    return info;
}

// The properties of one item (id ≥ 1) as dbusmenu names them.
std::map<std::string, GVariant*> propertiesOf(const MenuItem& item) {
    std::map<std::string, GVariant*> result;
    if (item.isSeparatorItem()) {
        result["type"] = g_variant_new_string("separator");
        return result;
    }
    result["label"] = g_variant_new_string(item.title().c_str());
    result["enabled"] = g_variant_new_boolean(item.isEnabled());
    result["visible"] = g_variant_new_boolean(TRUE);
    if (item.hasState()) {
        result["toggle-type"] = g_variant_new_string("checkmark");
        result["toggle-state"] = g_variant_new_int32(item.state() == ControlState::on ? 1 : 0);
    }
    if (item.toolTip()) result["tooltip"] = g_variant_new_string(item.toolTip()->c_str());
    if (!item.keyEquivalent().empty()) {
        // Our key equivalents are plain letters; the desktop's modifier is Control.
        const char* control[] = {"Control", item.keyEquivalent().c_str(), nullptr};
        GVariant* chord = g_variant_new_strv(control, -1);
        result["shortcut"] = g_variant_new_array(G_VARIANT_TYPE("as"), &chord, 1);
    }
    return result;
}

bool wanted(const std::vector<std::string>& names, const std::string& name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
}

GVariant* dictionary(const std::map<std::string, GVariant*>& properties, const std::vector<std::string>& names) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (const auto& [name, value] : properties) {
        if (wanted(names, name)) {
            g_variant_builder_add(&builder, "{sv}", name.c_str(), value);
        } else {
            g_variant_unref(g_variant_ref_sink(value));
        }
    }
    return g_variant_builder_end(&builder);
}

std::vector<std::string> stringList(GVariant* strv) {
    std::vector<std::string> result;
    gsize count = 0;
    const gchar** strings = g_variant_get_strv(strv, &count);
    for (gsize i = 0; i < count; ++i) result.emplace_back(strings[i]);
    g_free(strings);
    return result;
}

}  // namespace

DBusMenuExporter::DBusMenuExporter(GDBusConnection* connection, std::string objectPath, Handlers handlers)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))),
      objectPath_(std::move(objectPath)),
      handlers_(std::move(handlers)) {
    static const GDBusInterfaceVTable vtable = {&DBusMenuExporter::onMethodCall, &DBusMenuExporter::onGetProperty,
                                                nullptr, {}};
    registration_ = g_dbus_connection_register_object(connection_, objectPath_.c_str(), nodeInfo()->interfaces[0],
                                                      &vtable, this, nullptr, nullptr);
}

DBusMenuExporter::~DBusMenuExporter() {
    if (registration_) g_dbus_connection_unregister_object(connection_, registration_);
    g_object_unref(connection_);
}

std::shared_ptr<Menu> DBusMenuExporter::menu() {
    auto menu = handlers_.current ? handlers_.current() : nullptr;
    if (!menu && handlers_.open) menu = handlers_.open();
    return menu;
}

GVariant* DBusMenuExporter::itemProperties(const Menu& menu, int id, const std::vector<std::string>& names) {
    if (id == 0) {
        std::map<std::string, GVariant*> root{{"children-display", g_variant_new_string("submenu")}};
        return dictionary(root, names);
    }
    return dictionary(propertiesOf(*menu.items().at(static_cast<size_t>(id - 1))), names);
}

GVariant* DBusMenuExporter::layout(const Menu& menu, int parentId, int depth, const std::vector<std::string>& names) {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (parentId == 0 && depth != 0) {
        for (size_t i = 0; i < menu.items().size(); ++i) {
            const int id = static_cast<int>(i) + 1;
            GVariant* child = g_variant_new("(i@a{sv}@av)", id, itemProperties(menu, id, names),
                                            g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0));
            g_variant_builder_add(&children, "v", child);
        }
    }
    return g_variant_new("(i@a{sv}av)", parentId, itemProperties(menu, parentId, names), &children);
}

bool DBusMenuExporter::handleEvent(int id, const std::string& event) {
    auto current = handlers_.current ? handlers_.current() : nullptr;
    if (id == 0) {
        if (event == "closed" && current && current->isOpen()) current->cancelTracking();
        return true;
    }
    if (event != "clicked") return true;
    // Hosts that skip AboutToShow still get a refreshed, open menu.
    if (!current || !current->isOpen()) current = handlers_.open ? handlers_.open() : nullptr;
    if (!current || id < 1 || static_cast<size_t>(id) > current->items().size()) return false;
    current->chooseItem(current->items()[static_cast<size_t>(id - 1)]);
    publishChanges();
    return true;
}

bool DBusMenuExporter::publishChanges() {
    auto current = handlers_.current ? handlers_.current() : nullptr;
    if (!current) return false;
    std::string structure;
    std::map<int, Properties> now;
    for (size_t i = 0; i < current->items().size(); ++i) {
        const auto& item = *current->items()[i];
        structure += item.isSeparatorItem() ? "-|" : item.title() + "|";
        for (auto& [name, value] : propertiesOf(item)) {
            gchar* printed = g_variant_print(g_variant_ref_sink(value), TRUE);
            now[static_cast<int>(i) + 1][name] = printed;
            g_free(printed);
            g_variant_unref(value);
        }
    }
    bool changed = false;
    if (structure != sentStructure_) {
        const bool first = sentStructure_.empty();
        sentStructure_ = structure;
        sentProperties_ = now;
        if (!first) {
            ++revision_;
            g_dbus_connection_emit_signal(connection_, nullptr, objectPath_.c_str(), menuInterface, "LayoutUpdated",
                                          g_variant_new("(ui)", revision_, 0), nullptr);
        }
        return !first;
    }
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    GVariantBuilder removed;
    g_variant_builder_init(&removed, G_VARIANT_TYPE("a(ias)"));
    for (const auto& [id, properties] : now) {
        const auto& before = sentProperties_[id];
        if (properties == before) continue;
        changed = true;
        g_variant_builder_add(&updated, "(i@a{sv})", id, itemProperties(*current, id, {}));
        GVariantBuilder gone;
        g_variant_builder_init(&gone, G_VARIANT_TYPE("as"));
        bool anyGone = false;
        for (const auto& entry : before) {
            if (properties.count(entry.first)) continue;
            g_variant_builder_add(&gone, "s", entry.first.c_str());
            anyGone = true;
        }
        if (anyGone) {
            g_variant_builder_add(&removed, "(ias)", id, &gone);
        } else {
            g_variant_builder_clear(&gone);
        }
    }
    sentProperties_ = now;
    if (changed) {
        g_dbus_connection_emit_signal(connection_, nullptr, objectPath_.c_str(), menuInterface,
                                      "ItemsPropertiesUpdated", g_variant_new("(a(ia{sv})a(ias))", &updated, &removed),
                                      nullptr);
    } else {
        g_variant_builder_clear(&updated);
        g_variant_builder_clear(&removed);
    }
    return changed;
}

void DBusMenuExporter::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                                    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<DBusMenuExporter*>(data);
    const std::string name = method;
    auto invalid = [&](const char* what) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.InvalidArgs", what);
    };
    if (name == "GetLayout") {
        gint32 parent = 0, depth = -1;
        GVariant* names = nullptr;
        g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
        const auto wantedNames = stringList(names);
        g_variant_unref(names);
        auto menu = self->menu();
        if (!menu || parent < 0 || static_cast<size_t>(parent) > menu->items().size()) return invalid("unknown id");
        self->publishChanges();
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(u@(ia{sv}av))", self->revision_, self->layout(*menu, parent, depth, wantedNames)));
        return;
    }
    if (name == "GetGroupProperties" || name == "GetProperty") {
        auto menu = self->menu();
        if (!menu) return invalid("no menu");
        auto valid = [&](int id) { return id >= 0 && static_cast<size_t>(id) <= menu->items().size(); };
        if (name == "GetProperty") {
            gint32 id = 0;
            const gchar* property = nullptr;
            g_variant_get(parameters, "(i&s)", &id, &property);
            if (!valid(id)) return invalid("unknown id");
            GVariant* all = self->itemProperties(*menu, id, {property});
            GVariant* value = g_variant_lookup_value(all, property, nullptr);
            g_variant_unref(g_variant_ref_sink(all));
            if (!value) return invalid("unknown property");
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
            g_variant_unref(value);
            return;
        }
        GVariant* ids = nullptr;
        GVariant* names = nullptr;
        g_variant_get(parameters, "(@ai@as)", &ids, &names);
        const auto wantedNames = stringList(names);
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ia{sv})"));
        gsize count = 0;
        const gint32* list = static_cast<const gint32*>(g_variant_get_fixed_array(ids, &count, sizeof(gint32)));
        // An empty list asks for every item.
        std::vector<int> asked(list, list + count);
        if (asked.empty())
            for (size_t i = 0; i <= menu->items().size(); ++i) asked.push_back(static_cast<int>(i));
        for (int id : asked)
            if (valid(id)) g_variant_builder_add(&builder, "(i@a{sv})", id, self->itemProperties(*menu, id, wantedNames));
        g_variant_unref(ids);
        g_variant_unref(names);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &builder));
        return;
    }
    if (name == "Event") {
        gint32 id = 0;
        const gchar* event = nullptr;
        GVariant* payload = nullptr;
        guint32 timestamp = 0;
        g_variant_get(parameters, "(i&svu)", &id, &event, &payload, &timestamp);
        const std::string eventId = event;
        g_variant_unref(payload);
        // Answer before acting: the action may end the process.
        g_dbus_method_invocation_return_value(invocation, nullptr);
        self->handleEvent(id, eventId);
        return;
    }
    if (name == "EventGroup") {
        GVariantIter* events = nullptr;
        g_variant_get(parameters, "(a(isvu))", &events);
        std::vector<std::pair<int, std::string>> pending;
        gint32 id = 0;
        const gchar* event = nullptr;
        GVariant* payload = nullptr;
        guint32 timestamp = 0;
        while (g_variant_iter_next(events, "(i&svu)", &id, &event, &payload, &timestamp)) {
            pending.emplace_back(id, event);
            g_variant_unref(payload);
        }
        g_variant_iter_free(events);
        auto menu = self->menu();
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        for (const auto& [eventItem, _] : pending)
            if (!menu || eventItem < 0 || static_cast<size_t>(eventItem) > menu->items().size())
                g_variant_builder_add(&errors, "i", eventItem);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(ai)", &errors));
        for (const auto& [eventItem, eventId] : pending) self->handleEvent(eventItem, eventId);
        return;
    }
    if (name == "AboutToShow") {
        gint32 id = 0;
        g_variant_get(parameters, "(i)", &id);
        if (id == 0 && self->handlers_.open) self->handlers_.open();
        const bool changed = self->publishChanges();
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", changed));
        return;
    }
    if (name == "AboutToShowGroup") {
        GVariant* ids = nullptr;
        g_variant_get(parameters, "(@ai)", &ids);
        gsize count = 0;
        const gint32* list = static_cast<const gint32*>(g_variant_get_fixed_array(ids, &count, sizeof(gint32)));
        const bool root = std::find(list, list + count, 0) != list + count;
        g_variant_unref(ids);
        if (root && self->handlers_.open) self->handlers_.open();
        GVariantBuilder updates;
        g_variant_builder_init(&updates, G_VARIANT_TYPE("ai"));
        if (self->publishChanges()) g_variant_builder_add(&updates, "i", 0);
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(aiai)", &updates, &errors));
        return;
    }
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
}

GVariant* DBusMenuExporter::onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                          const gchar* property, GError**, gpointer) {
    const std::string name = property;
    if (name == "Version") return g_variant_new_uint32(3);
    if (name == "TextDirection") return g_variant_new_string("ltr");
    if (name == "Status") return g_variant_new_string("normal");
    return g_variant_new_strv(nullptr, 0);  // IconThemePath
}

}  // namespace platform::ui
