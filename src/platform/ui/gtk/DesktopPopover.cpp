#include "platform/ui/gtk/DesktopPopover.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/ui/Button.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopGeometry.h"
#include "platform/ui/gtk/DesktopWebView.h"

namespace platform::ui {

namespace {

constexpr const char* viewKey = "tidemark-view";
// How long the focus may be away before a lost focus closes a transient panel.
constexpr guint focusSettleMilliseconds = 150;
constexpr const char* panelCSS = "window.tidemark-panel { background-color: #101214; }";

std::string cssColor(const Color& color) {
    char text[64];
    std::snprintf(text, sizeof text, "rgba(%d,%d,%d,%.3f)", int(std::lround(color.red * 255)),
                  int(std::lround(color.green * 255)), int(std::lround(color.blue * 255)), color.alpha);
    return text;
}

const char* cursorName(Cursor::Kind kind) {
    switch (kind) {
        case Cursor::Kind::resizeUpDown: return "ns-resize";
        case Cursor::Kind::resizeLeftRight: return "ew-resize";
        case Cursor::Kind::pointingHand: return "pointer";
        case Cursor::Kind::arrow: break;
    }
    return "default";
}

void applyButtonStyle(GtkWidget* widget, const Button& button) {
    std::string css = "button { border: none; border-radius: 0; box-shadow: none; background-image: none; padding: 0;";
    if (auto layer = const_cast<Button&>(button).layer()) css += " background-color: " + cssColor(layer->backgroundColor) + ";";
    if (button.contentTintColor()) css += " color: " + cssColor(*button.contentTintColor()) + ";";
    css += " font-family: \"" + button.font().family + "\";";
    css += " font-size: " + std::to_string(int(std::lround(button.font().size))) + "px;";
    css += " font-weight: " + std::to_string(static_cast<int>(button.font().weight)) + "; }";
    css += " button:disabled { opacity: 0.85; }";
    css += " button:disabled label { color: inherit; }";
    GtkStyleContext* style = gtk_widget_get_style_context(widget);
    auto* provider = static_cast<GtkCssProvider*>(g_object_get_data(G_OBJECT(widget), "tidemark-css"));
    if (!provider) {
        provider = gtk_css_provider_new();
        gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_object_set_data_full(G_OBJECT(widget), "tidemark-css", provider, g_object_unref);
    }
    gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
}

}  // namespace

DesktopPopover::DesktopPopover(DesktopBackend& backend) : backend_(backend) {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    gtk_window_set_title(GTK_WINDOW(window_), "Tidemark");
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    // Resizable, or GTK would size the window to the web view's natural height; only
    // our own resize strip changes it.
    gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_POPUP_MENU);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), TRUE);
    gtk_window_set_skip_pager_hint(GTK_WINDOW(window_), TRUE);
    gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
    gtk_window_set_role(GTK_WINDOW(window_), "tidemark-panel");
    gtk_style_context_add_class(gtk_widget_get_style_context(window_), "tidemark-panel");
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, panelCSS, -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window_), GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed_);
    gtk_widget_add_events(window_, GDK_FOCUS_CHANGE_MASK | GDK_KEY_PRESS_MASK);
    g_signal_connect(window_, "focus-in-event", G_CALLBACK(&DesktopPopover::onFocusIn), this);
    g_signal_connect(window_, "focus-out-event", G_CALLBACK(&DesktopPopover::onFocusOut), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(&DesktopPopover::onKeyPress), this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(&DesktopPopover::onDelete), this);
}

DesktopPopover::~DesktopPopover() {
    g_signal_handlers_disconnect_by_data(window_, this);
    for (auto& entry : widgets_) g_signal_handlers_disconnect_by_data(entry.second.second, this);
    // Web view widgets belong to their web views: take them out before the window goes.
    for (auto& entry : widgets_) {
        GtkWidget* widget = entry.second.second;
        if (gtk_widget_get_parent(widget) == fixed_) gtk_container_remove(GTK_CONTAINER(fixed_), widget);
    }
    gtk_widget_destroy(window_);
    g_object_unref(window_);
}

void DesktopPopover::didShow() {
    hasFocusSinceShow_ = false;
    sync();
    place();
    gtk_widget_show(fixed_);
    gtk_widget_show(window_);
    gtk_window_present(GTK_WINDOW(window_));
}

void DesktopPopover::didClose() { gtk_widget_hide(window_); }

void DesktopPopover::didResize() {
    if (!isShown()) return;
    sync();
    place();
}

void DesktopPopover::place() {
    const Size size = contentSize();
    const int width = int(std::lround(size.width));
    const int height = int(std::lround(size.height));
    Rect anchor;
    if (auto button = std::dynamic_pointer_cast<StatusBarButton>(positioningView())) anchor = button->screenFrame();
    if (anchor.size.width <= 0) {
        const Point pointer = pointerPosition();
        anchor = Rect{pointer, {1, 1}};
    }
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, int(anchor.midX()), int(anchor.midY()));
    GdkRectangle area{0, 0, width, height};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    // Below the icon, unless it sits in the lower half (a bottom panel): then above.
    const bool above = anchor.midY() > area.y + area.height / 2.0;
    int x = int(std::lround(anchor.midX() - width / 2.0));
    int y = above ? int(std::lround(anchor.minY())) - height : int(std::lround(anchor.maxY()));
    x = std::max(area.x, std::min(x, area.x + area.width - width));
    y = std::max(area.y, std::min(y, area.y + area.height - height));
    gtk_widget_set_size_request(fixed_, width, height);
    gtk_window_resize(GTK_WINDOW(window_), width, height);
    gtk_window_move(GTK_WINDOW(window_), x, y);
}

std::shared_ptr<View> DesktopPopover::viewOf(GtkWidget* widget) const {
    auto* key = static_cast<const View*>(g_object_get_data(G_OBJECT(widget), viewKey));
    auto it = widgets_.find(key);
    return it == widgets_.end() ? nullptr : it->second.first.lock();
}

GtkWidget* DesktopPopover::widgetFor(const std::shared_ptr<View>& view) {
    auto it = widgets_.find(view.get());
    if (it != widgets_.end() && !it->second.first.expired()) return it->second.second;
    GtkWidget* widget = nullptr;
    if (auto web = std::dynamic_pointer_cast<DesktopWebView>(view)) {
        widget = web->widget();
    } else if (std::dynamic_pointer_cast<Button>(view)) {
        widget = gtk_button_new_with_label("");
        gtk_widget_set_can_focus(widget, FALSE);
        g_signal_connect(widget, "clicked", G_CALLBACK(&DesktopPopover::onButtonClicked), this);
    } else {
        widget = gtk_event_box_new();
        gtk_widget_set_app_paintable(widget, TRUE);
        gtk_widget_add_events(widget, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON1_MOTION_MASK);
        g_signal_connect(widget, "button-press-event", G_CALLBACK(&DesktopPopover::onMouse), this);
        g_signal_connect(widget, "button-release-event", G_CALLBACK(&DesktopPopover::onMouse), this);
        g_signal_connect(widget, "motion-notify-event", G_CALLBACK(&DesktopPopover::onMouse), this);
    }
    g_object_set_data(G_OBJECT(widget), viewKey, view.get());
    widgets_[view.get()] = {view, widget};
    gtk_fixed_put(GTK_FIXED(fixed_), widget, 0, 0);
    return widget;
}

void DesktopPopover::sync() {
    auto controller = contentViewController();
    if (!controller) return;
    auto content = controller->view();
    for (const auto& child : content->subviews()) syncView(child, content->bounds().height(), 0, 0);
}

void DesktopPopover::syncView(const std::shared_ptr<View>& view, double parentHeight, double offsetX, double offsetY) {
    GtkWidget* widget = widgetFor(view);
    const Rect frame = view->frame();
    const double top = offsetY + (parentHeight - frame.maxY());
    const double left = offsetX + frame.minX();
    gtk_fixed_move(GTK_FIXED(fixed_), widget, int(std::lround(left)), int(std::lround(top)));
    gtk_widget_set_size_request(widget, std::max(0, int(std::lround(frame.width()))),
                                std::max(0, int(std::lround(frame.height()))));
    if (auto button = std::dynamic_pointer_cast<Button>(view)) {
        gtk_button_set_label(GTK_BUTTON(widget), button->title().c_str());
        gtk_widget_set_sensitive(widget, button->isEnabled());
        applyButtonStyle(widget, *button);
    } else if (GTK_IS_EVENT_BOX(widget)) {
        if (GdkWindow* window = gtk_widget_get_window(widget)) {
            const auto& rects = view->cursorRects();
            GdkCursor* cursor = rects.empty() ? nullptr
                                              : gdk_cursor_new_from_name(gdk_window_get_display(window),
                                                                         cursorName(rects.front().cursor.kind));
            gdk_window_set_cursor(window, cursor);
            if (cursor) g_object_unref(cursor);
        }
    }
    gtk_widget_set_visible(widget, !view->isHidden());
    if (view->isHidden()) return;
    // Widgets stack in the order they were put: keep later views on top by raising them.
    if (GdkWindow* window = gtk_widget_get_window(widget); window && gtk_widget_get_has_window(widget))
        gdk_window_raise(window);
    for (const auto& child : view->subviews()) syncView(child, frame.height(), left, top);
}

gboolean DesktopPopover::onFocusIn(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<DesktopPopover*>(data)->hasFocusSinceShow_ = true;
    return FALSE;
}

gboolean DesktopPopover::onFocusOut(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<DesktopPopover*>(data);
    // Without a window manager the focus can leave in the same instant the window
    // appears, and come back: only a focus the panel had and has not regained a moment
    // later counts.
    if (!self->isShown() || !self->hasFocusSinceShow_) return FALSE;
    if (self->behavior() == PopoverBehavior::applicationDefined) return FALSE;
    auto* weak = new std::weak_ptr<DesktopPopover>(self->weak_from_this());
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, focusSettleMilliseconds,
        [](gpointer pending) -> gboolean {
            auto popover = static_cast<std::weak_ptr<DesktopPopover>*>(pending)->lock();
            if (popover && popover->isShown() && !gtk_window_is_active(GTK_WINDOW(popover->window_))) {
                popover->backend_.noteFocusOutClose();
                popover->handleClickOutside();
            }
            return G_SOURCE_REMOVE;
        },
        weak, [](gpointer pending) { delete static_cast<std::weak_ptr<DesktopPopover>*>(pending); });
    return FALSE;
}

gboolean DesktopPopover::onKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<DesktopPopover*>(data);
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    return self->handleClickOutside() ? TRUE : FALSE;
}

gboolean DesktopPopover::onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<DesktopPopover*>(data)->close();
    return TRUE;
}

gboolean DesktopPopover::onMouse(GtkWidget* widget, GdkEvent* event, gpointer data) {
    auto* self = static_cast<DesktopPopover*>(data);
    auto view = self->viewOf(widget);
    if (!view) return FALSE;
    double x = 0, y = 0;
    gdk_event_get_root_coords(event, &x, &y);
    Event translated{EventType::leftMouseDown, toScreenPoint({x, y})};
    switch (gdk_event_get_event_type(event)) {
        case GDK_BUTTON_PRESS: {
            guint button = 0;
            gdk_event_get_button(event, &button);
            if (button == GDK_BUTTON_SECONDARY) translated.type = EventType::rightMouseDown;
            else if (button != GDK_BUTTON_PRIMARY) return FALSE;
            break;
        }
        case GDK_BUTTON_RELEASE: {
            guint button = 0;
            gdk_event_get_button(event, &button);
            if (button == GDK_BUTTON_SECONDARY) translated.type = EventType::rightMouseUp;
            else if (button == GDK_BUTTON_PRIMARY) translated.type = EventType::leftMouseUp;
            else return FALSE;
            break;
        }
        case GDK_MOTION_NOTIFY: translated.type = EventType::leftMouseDragged; break;
        default: return FALSE;
    }
    view->dispatchEvent(translated);
    return TRUE;
}

void DesktopPopover::onButtonClicked(GtkButton* button, gpointer data) {
    auto* self = static_cast<DesktopPopover*>(data);
    if (auto view = self->viewOf(GTK_WIDGET(button))) {
        const Point pointer = toScreenPoint(pointerPosition());
        const std::weak_ptr<DesktopPopover> alive = self->weak_from_this();
        view->dispatchEvent(Event{EventType::leftMouseUp, pointer});
        // The action may have changed what the panel shows (a button's title or state):
        // show it now, not at the next resize.
        if (auto popover = alive.lock(); popover && popover->isShown()) popover->sync();
    }
}

}  // namespace platform::ui
