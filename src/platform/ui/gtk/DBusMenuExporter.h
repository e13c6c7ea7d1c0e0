#pragma once
#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {
class Menu;
}

namespace platform::ui {

// Exports a menu over com.canonical.dbusmenu, which most tray hosts show themselves.
// Item ids are positions in the menu plus one; the root is 0.
class DBusMenuExporter {
public:
    struct Handlers {
        // The host is about to show the menu: open it (the menu's delegate refreshes it)
        // and answer it.
        std::function<std::shared_ptr<Menu>()> open;
        // The menu last opened, if any.
        std::function<std::shared_ptr<Menu>()> current;
    };

    DBusMenuExporter(GDBusConnection* connection, std::string objectPath, Handlers handlers);
    ~DBusMenuExporter();
    DBusMenuExporter(const DBusMenuExporter&) = delete;
    DBusMenuExporter& operator=(const DBusMenuExporter&) = delete;

    const std::string& objectPath() const { return objectPath_; }

private:
    using Properties = std::map<std::string, std::string>;  // name → printed GVariant

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                                   GError**, gpointer self);

    std::shared_ptr<Menu> menu();
    GVariant* layout(const Menu& menu, int parentId, int depth, const std::vector<std::string>& names);
    GVariant* itemProperties(const Menu& menu, int id, const std::vector<std::string>& names);
    bool handleEvent(int id, const std::string& event);
    // After the menu may have changed: tells the host what did.
    bool publishChanges();

    GDBusConnection* connection_;
    std::string objectPath_;
    Handlers handlers_;
    guint registration_ = 0;
    unsigned revision_ = 1;
    std::string sentStructure_;
    std::map<int, Properties> sentProperties_;
};

}  // namespace platform::ui
