#pragma once
#include <gtk/gtk.h>

#include <map>
#include <memory>

#include "platform/ui/Popover.h"

namespace platform::ui {

class DesktopBackend;

// The popover as an undecorated popup window that hangs below the tray icon (above it
// when the icon is at the bottom of the screen), inside the monitor's work area. A
// transient one closes when it loses the focus or on Escape. The content view's
// subviews become widgets: web views show their own widget, buttons a GTK button,
// other views an input box that hands mouse events (in screen coordinates) and shows
// their cursor.
class DesktopPopover final : public Popover, public std::enable_shared_from_this<DesktopPopover> {
public:
    explicit DesktopPopover(DesktopBackend& backend);
    ~DesktopPopover() override;

    // Brings the widgets in line with the views (frames, titles, hidden state).
    void sync();
    GtkWidget* window() const { return window_; }

protected:
    void didShow() override;
    void didClose() override;
    void didResize() override;

private:
    static gboolean onFocusIn(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean onFocusOut(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer self);
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
    static gboolean onMouse(GtkWidget* widget, GdkEvent* event, gpointer self);
    static void onButtonClicked(GtkButton* button, gpointer self);

    void place();
    GtkWidget* widgetFor(const std::shared_ptr<View>& view);
    void syncView(const std::shared_ptr<View>& view, double parentHeight, double offsetX, double offsetY);
    std::shared_ptr<View> viewOf(GtkWidget* widget) const;

    DesktopBackend& backend_;
    GtkWidget* window_ = nullptr;
    GtkWidget* fixed_ = nullptr;
    // Widgets by view; the views are held weakly (the content owns them).
    std::map<const View*, std::pair<std::weak_ptr<View>, GtkWidget*>> widgets_;
    bool hasFocusSinceShow_ = false;
};

}  // namespace platform::ui
