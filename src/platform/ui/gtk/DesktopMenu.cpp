#include "platform/ui/gtk/DesktopMenu.h"

#include "platform/ui/gtk/DesktopBackend.h"

namespace platform::ui {

namespace {

struct ItemLink {
    std::weak_ptr<DesktopMenu> menu;
    std::weak_ptr<MenuItem> item;
};

void onActivate(GtkMenuItem*, gpointer data) {
    auto* link = static_cast<ItemLink*>(data);
    auto menu = link->menu.lock();
    auto item = link->item.lock();
    if (menu && item && menu->isOpen()) menu->chooseItem(item);
}

void onDeactivate(GtkMenuShell*, gpointer data) {
    // The menu hides before the chosen item activates: decide once both have run.
    auto* weak = new std::weak_ptr<DesktopMenu>(*static_cast<std::weak_ptr<DesktopMenu>*>(data));
    g_idle_add(
        [](gpointer pending) -> gboolean {
            auto* menuRef = static_cast<std::weak_ptr<DesktopMenu>*>(pending);
            if (auto menu = menuRef->lock(); menu && menu->isOpen()) menu->cancelTracking();
            delete menuRef;
            return G_SOURCE_REMOVE;
        },
        weak);
}

}  // namespace

DesktopMenu::~DesktopMenu() { destroyWidget(); }

void DesktopMenu::didPopUp() {
    backend_.menuDidPopUp(*this);
}

void DesktopMenu::didClose() { destroyWidget(); }

void DesktopMenu::destroyWidget() {
    if (!widget_) return;
    GtkWidget* widget = widget_;
    widget_ = nullptr;
    gtk_widget_destroy(widget);
}

void DesktopMenu::showOnScreen(int x, int y) {
    destroyWidget();
    widget_ = gtk_menu_new();
    GtkAccelGroup* accelerators = gtk_accel_group_new();
    gtk_menu_set_accel_group(GTK_MENU(widget_), accelerators);
    auto self = weak_from_this();
    for (const auto& item : items()) {
        GtkWidget* entry = nullptr;
        if (item->isSeparatorItem()) {
            entry = gtk_separator_menu_item_new();
        } else if (item->hasState()) {
            entry = gtk_check_menu_item_new_with_label(item->title().c_str());
            gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(entry), item->state() == ControlState::on);
        } else {
            entry = gtk_menu_item_new_with_label(item->title().c_str());
        }
        if (!item->isSeparatorItem()) {
            gtk_widget_set_sensitive(entry, item->isEnabled());
            if (item->toolTip()) gtk_widget_set_tooltip_text(entry, item->toolTip()->c_str());
            if (item->keyEquivalent().size() == 1) {
                gtk_widget_add_accelerator(entry, "activate", accelerators,
                                           gdk_unicode_to_keyval(static_cast<guint32>(item->keyEquivalent()[0])),
                                           GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
            }
            g_signal_connect_data(entry, "activate", G_CALLBACK(onActivate), new ItemLink{self, item},
                                  [](gpointer data, GClosure*) { delete static_cast<ItemLink*>(data); },
                                  GConnectFlags(0));
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(widget_), entry);
    }
    g_object_unref(accelerators);
    g_signal_connect_data(widget_, "deactivate", G_CALLBACK(onDeactivate), new std::weak_ptr<DesktopMenu>(self),
                          [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<DesktopMenu>*>(data); },
                          GConnectFlags(0));
    gtk_widget_show_all(widget_);
    const GdkRectangle at{x, y, 1, 1};
    gtk_menu_popup_at_rect(GTK_MENU(widget_), gdk_get_default_root_window(), &at, GDK_GRAVITY_SOUTH_WEST,
                           GDK_GRAVITY_NORTH_WEST, nullptr);
}

}  // namespace platform::ui
